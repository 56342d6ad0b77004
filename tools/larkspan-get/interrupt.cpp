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
    SetConsoleCtrlHandler(OnControl, TRUE);
#else
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, NULL);
#endif
}

void InterruptSetPartial(const Output *output)
{
    partial = output;
}
