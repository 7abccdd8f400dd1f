#include "log.h"

#include <cstdarg>
#include <ctime>

int log_message(FILE *stream, const char *level, const char *format, ...) {
    char stamp[30];
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    strftime(stamp, sizeof stamp, "A [%Y/%m/%d %H:%M:%S]", &local);

    // The composed format is cut at 255 characters, like the device's own logger.
    char composed[256];
    snprintf(composed, sizeof composed, "%s %s: %s", stamp, level, format);

    va_list args;
    va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    vfprintf(stream, composed, args);
#pragma GCC diagnostic pop
    va_end(args);
    return fflush(stream);
}
