// Ctrl-C (and, natively, SIGTERM and SIGHUP) during a download: the .part
// file is removed, unless the user asked to keep it, and the program exits
// with 130 (128 + the signal's number natively, as shells report). The
// file the download was to replace is never touched.
#ifndef LARKSPAN_GET_INTERRUPT_H
#define LARKSPAN_GET_INTERRUPT_H

void InterruptStart(bool keepPartial);

// The .part file to remove, or null once there is none (it took its name).
// The path is copied.
void InterruptSetPartial(const char *path);

#endif
