// Ctrl-C and the termination signals during a download (interrupt.h): the
// .part file that would be left is removed, and a signal ignored at the
// start stays ignored.
#include "interrupt.h"

#include "exit_codes.h"
#include "live_line.h"
#include "output.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

namespace {

// Read by the handler, which may run at any moment.
const Output *volatile partial;
bool keep;

#ifdef _WIN32
BOOL WINAPI OnControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    LiveLineEnd();
    if (partial && !keep) OutputRemoveAtInterrupt(partial);
    fputs("larkspan-get: interrupted\n", stderr);
    fflush(stderr);
    ExitProcess(kExitInterrupted);
    return TRUE;
}
#else
void OnSignal(int number)
{
    // Only calls that are safe in a signal handler.
    if (partial && !keep) OutputRemoveAtInterrupt(partial);
    static const char words[] = "\nlarkspan-get: interrupted\n";
    ssize_t ignored = write(STDERR_FILENO, words, sizeof words - 1);
    (void)ignored;
    _exit(128 + number);
}
#endif

}  // namespace

void InterruptStart(bool keepPartial)
{
    keep = keepPartial;
#ifdef _WIN32
    // A process that Windows starts with Ctrl-C ignored never gets it here.
    // Under Wine an ignored SIGHUP stays ignored (Wine leaves it alone), but
    // Wine turns SIGINT into Ctrl-C whatever it was at the start, and a
    // Windows program can't tell that it had been ignored.
    SetConsoleCtrlHandler(OnControl, TRUE);
#else
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction before;
        if (sigaction(number, NULL, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        sigaction(number, &action, NULL);
    }
#endif
}

void InterruptSetPartial(const Output *output)
{
    partial = output;
}

void InterruptEndRun(int code, const char *words)
{
    LiveLineEnd();
    if (partial && !keep) OutputRemoveAtInterrupt(partial);
    fputs(words, stderr);
    fflush(stderr);
#ifdef _WIN32
    ExitProcess(code);
#else
    _exit(code);
#endif
}
