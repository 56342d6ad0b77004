// The live progress line on standard error (live_line.h): rewritten in
// place on a terminal or a console, never written elsewhere.
#include "live_line.h"

#include "wine.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

bool escapes;      // "\r\033[K" clears the line; else spaces do
bool shown;        // a line stands on the screen
size_t lastLength; // of the line on screen, for the spaces
#ifdef _WIN32
HANDLE console;
DWORD originalMode;
bool modeChanged;
#endif

void Blank()
{
    if (escapes) {
        fputs("\r\033[K", stderr);
    } else {
        fprintf(stderr, "\r%*s\r", (int)lastLength, "");
    }
}

}  // namespace

bool LiveLineStart()
{
#ifdef _WIN32
    // A console is what GetConsoleMode accepts: _isatty is true for NUL too,
    // and 2>NUL must not get a live line.
    console = GetStdHandle(STD_ERROR_HANDLE);
    if (!GetConsoleMode(console, &originalMode)) return false;
    // Wine's console (8.0) takes the mode and then shows the escapes as text.
    if (UnderWine()) return true;
    modeChanged = !(originalMode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) &&
                  SetConsoleMode(console, originalMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    escapes = (originalMode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) || modeChanged;
    return true;
#else
    escapes = true;
    return isatty(STDERR_FILENO) != 0;
#endif
}

void LiveLineDraw(const char *text)
{
    size_t length = strlen(text);
    if (escapes) {
        fprintf(stderr, "\r\033[K%s", text);
    } else {
        // Spaces over whatever of the last line this one does not cover.
        fprintf(stderr, "\r%s%*s", text, lastLength > length ? (int)(lastLength - length) : 0, "");
        if (lastLength > length) fprintf(stderr, "\r%s", text);
    }
    fflush(stderr);
    lastLength = length;
    shown = true;
}

void LiveLineClear()
{
    if (!shown) return;
    Blank();
    shown = false;
}

void LiveLineBreak()
{
    if (shown) fputc('\n', stderr);
    shown = false;
    lastLength = 0;  // a new line: nothing to cover
    fflush(stderr);
}

void LiveLineEnd()
{
    LiveLineBreak();
#ifdef _WIN32
    if (modeChanged) SetConsoleMode(console, originalMode);
    modeChanged = false;
#endif
}
