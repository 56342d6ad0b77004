#include "debugwatch.h"

#include <windows.h>

#ifdef _WIN32

#ifndef DBG_PRINTEXCEPTION_C
#define DBG_PRINTEXCEPTION_C 0x40010006
#endif

namespace {

DebugLineHandler watchHandler;
void *watchContext;
PVOID watchCookie;

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the string's length and
// address; continuing the exception is what "no debugger" looks like to it.
LONG CALLBACK OnException(EXCEPTION_POINTERS *info)
{
    EXCEPTION_RECORD *record = info->ExceptionRecord;
    if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2 || !watchHandler)
        return EXCEPTION_CONTINUE_SEARCH;
    watchHandler(watchContext, (const char *)record->ExceptionInformation[1]);
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void DebugWatchStart(DebugLineHandler handler, void *context)
{
    watchHandler = handler;
    watchContext = context;
    if (!watchCookie) watchCookie = AddVectoredExceptionHandler(1, OnException);
}

void DebugWatchStop(void)
{
    if (watchCookie) RemoveVectoredExceptionHandler(watchCookie);
    watchCookie = NULL;
    watchHandler = NULL;
}

#else

#include <winposix.h>

void DebugWatchStart(DebugLineHandler handler, void *context)
{
    WinPosix_SetDebugObserver(handler, context);
}

void DebugWatchStop(void)
{
    WinPosix_SetDebugObserver(nullptr, nullptr);
}

#endif
