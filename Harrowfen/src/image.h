// Whether a waiting file may take the place of an installed program image:
// only a whole image of the same kind may. Reads the two files; changes
// nothing and reports nothing.
#ifndef HARROWFEN_IMAGE_H
#define HARROWFEN_IMAGE_H

#include <windows.h>

enum ImageVerdict {
    kImageFits,        // the installed file is no image whose kind can be read, or the waiting one is a whole one like it
    kImageRefused,     // the installed file is an image, and the waiting one is not a whole image of its kind
    kImageUnreadable,  // a file could not be read
};

// A check's answer, with what it is about and why.
struct Verdict {
    ImageVerdict kind;
    const char *about;  // the name the verdict is about
    const char *why;    // kImageRefused: a short phrase saying what is wrong
    DWORD error;        // kImageUnreadable: why the file could not be read
};

// Compares the file under `waiting` with the one under `installed` (null, or
// a name that holds nothing: nothing to compare with, so it fits). Both
// names must hold plain files, not devices or FIFOs, which reading could
// wait on.
Verdict CheckImage(const char *installed, const char *waiting);

#endif
