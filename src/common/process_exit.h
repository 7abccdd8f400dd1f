// Ending the daemon from more than one thread. exit() must run once: two threads in
// it at a time run the exit hooks together. A stop signal, once taken, decides: the
// main thread then ends the process with status 0.
#pragma once

// Main, when a stop signal arrives: from now on only the main thread ends the
// process. When another thread is already ending it, this waits for that end.
void process_stop_begin();
// True from process_stop_begin() on.
bool process_stop_under_way();
// Ends the process with status, unless a stop is under way: then it returns, and
// the main thread ends the process.
void process_exit(int status);
