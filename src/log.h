// The one log call of the daemon.
#pragma once

#include <cstdio>

// Writes "A [%Y/%m/%d %H:%M:%S] LEVEL: message" to stream and flushes it.
// INFO and WARN go to stdout, ERROR to stderr; messages carry their own line end.
int log_message(FILE *stream, const char *level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

#define LOG_INFO(...) log_message(stdout, "INFO", __VA_ARGS__)
#define LOG_WARN(...) log_message(stdout, "WARN", __VA_ARGS__)
#define LOG_ERROR(...) log_message(stderr, "ERROR", __VA_ARGS__)
