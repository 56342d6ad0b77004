// The bounds on a run's time: --max-time (the whole run, retries and all
// URLs included) and --connect-timeout (from the start of each attempt to
// the server's answer). The library can't be told a limit, nor stopped part
// way through a call, so a thread of its own watches the clock and at a
// limit ends the run as an interrupt does (interrupt.h): the .part file
// goes unless kept, the file being stored stays as it was, exit 28. The
// main thread holds the watch off while it puts an attempt's outcome in
// place, or makes the next .part file, so a limit never ends a run half way
// through a rename or leaves a .part file no one removes: a limit acts only
// while the library's call, or the wait before a retry, is under way.
//
// Touches: the clock, a thread, interrupt.h's ending; nothing else.
#ifndef LARKSPAN_GET_TIME_LIMIT_H
#define LARKSPAN_GET_TIME_LIMIT_H

// Starts the watch, held; 0 for a bound that is not asked for. No thread
// when neither is. `firstUrl` is the one a limit names until an attempt
// begins.
void TimeLimitStart(double maxTime, double connectTimeout, const char *firstUrl);

// The library's call for an attempt at `url` (a string that outlives the
// attempt) begins: the watch is released, the wait for the server's answer
// starts.
void TimeLimitAttempt(const char *url);

// The server's answer came (the library's first running account: its head
// has been read and the file opened). On any thread.
void TimeLimitAnswered();

// The attempt's call returned: no limit acts, while its outcome is put in
// place, until TimeLimitRelease (before a retry's wait) or the next
// attempt.
void TimeLimitHold();
void TimeLimitRelease();

// At the end of the run, held: the watch ends and acts no more.
void TimeLimitStop();

#endif
