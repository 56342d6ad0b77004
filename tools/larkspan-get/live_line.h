// The live progress line on standard error, rewritten in place on a
// terminal. A terminal that takes escapes (any on Linux; a Windows console
// where SetConsoleMode grants virtual-terminal processing, Windows 10 on)
// gets "\r\033[K"; an older Windows console gets a carriage return and spaces
// over what the last line left, never raw escapes.
#ifndef LARKSPAN_GET_LIVE_LINE_H
#define LARKSPAN_GET_LIVE_LINE_H

// Decides whether standard error shows a live line; true when it does.
// On a Windows console it turns virtual-terminal processing on where it can.
bool LiveLineStart();

// Rewrites the line.
void LiveLineDraw(const char *text);

// Takes the line off the screen, so other text can be written from the
// start of a line; the next LiveLineDraw puts it back.
void LiveLineClear();

// Ends the line where it stands (a line break); the next LiveLineDraw
// starts another.
void LiveLineBreak();

// Ends the line where it stands and gives the console its own mode back.
// Safe to call more than once, and from a control handler.
void LiveLineEnd();

#endif
