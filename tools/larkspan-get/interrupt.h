// Ctrl-C (and, natively, SIGTERM and SIGHUP) during a download: the .part
// file is removed while its name still holds it, unless the user asked to
// keep it, and the program exits
// with 130 (128 + the signal's number natively, as shells report). The
// file the download was to replace is never touched.
#ifndef LARKSPAN_GET_INTERRUPT_H
#define LARKSPAN_GET_INTERRUPT_H

void InterruptStart(bool keepPartial);

struct Output;

// The output whose .part file to remove (only while its name still holds
// it: OutputRemoveAtInterrupt), or null once there is none (it took its
// name). The output must stay until it is set to null.
void InterruptSetPartial(const Output *output);

#endif
