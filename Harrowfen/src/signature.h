// Whether a waiting program image may take the place of an installed one as
// far as their publishers go: where the installed image carries a valid
// Authenticode signature, only an image signed by the same publisher may.
// Reads the two files; changes nothing and reports nothing.
#ifndef HARROWFEN_SIGNATURE_H
#define HARROWFEN_SIGNATURE_H

#include "image.h"

// Compares the signature of the file under `waiting` with that of the file
// under `installed` (null, or a name that holds nothing: nothing to compare
// with, so it fits). Answers as CheckImage does: kImageFits (the installed
// file carries no signature at all, or the waiting one is signed by its
// publisher), kImageRefused with `why` saying what is wrong (about the
// installed file where its own signature names no publisher to trust), or
// kImageUnreadable with the error. Natively there is no such signature:
// every file fits.
Verdict CheckPublisher(const char *installed, const char *waiting);

#endif
