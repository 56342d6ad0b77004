// The layer's lowest floor: the calls it makes into the C library, libcurl
// and Xlib whose failure it handles, each through one entry of one table,
// `sys`. A test puts a failing function of its own in an entry's place
// (WinPosix_SetSystemCall, winposix.h) and sees the layer's failure path
// taken, as a full disk or a refused connection would take it; the failing
// functions live in the tests, and the table holds only the standard ones.
// A call through it is one indirect call: no lock, no lookup by name.
//
// Every call of a function in the table goes through it, those whose failure
// one caller ignores included. What the layer never sees fail, or can do
// nothing about (close, fsync, malloc), it calls directly. This file calls
// nothing of the layer: XOpenDisplay's standard function is libX11's, loaded
// on first use by user32/x11drv.cpp (X11DRV_OpenDisplay), which only the
// table's definition names.
#ifndef WINPOSIX_SYSTEM_CALLS_H
#define WINPOSIX_SYSTEM_CALLS_H

#include <curl/curl.h>

#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

struct _XDisplay;  // Xlib's Display, kept out of the files that don't use Xlib

struct SystemCalls {
    // The C library: files, links, descriptors, a queue's event descriptor,
    // starting a program.
    decltype(&::open) open;
    decltype(&::fopen) fopen;
    decltype(&::fdopen) fdopen;
    decltype(&::fwrite) fwrite;
    decltype(&::fflush) fflush;
    decltype(&::fclose) fclose;
    decltype(&::unlink) unlink;
    decltype(&::rename) rename;
    decltype(&::renameat2) renameat2;
    decltype(&::link) link;
    decltype(&::access) access;
    decltype(&::stat) stat;
    decltype(&::lstat) lstat;
    decltype(&::fstat) fstat;
    decltype(&::fcntl) fcntl;
    decltype(&::chmod) chmod;
    decltype(&::eventfd) eventfd;
    decltype(&::read) read;
    decltype(&::write) write;
    decltype(&::posix_spawn) posix_spawn;
    // libcurl: making a transfer and driving it.
    decltype(&::curl_easy_init) curl_easy_init;
    decltype(&::curl_multi_init) curl_multi_init;
    decltype(&::curl_multi_add_handle) curl_multi_add_handle;
    decltype(&::curl_multi_perform) curl_multi_perform;
    decltype(&::curl_multi_poll) curl_multi_poll;
    decltype(&::curl_slist_append) curl_slist_append;
    // Xlib: the display, the first call of every other.
    _XDisplay *(*XOpenDisplay)(const char *name);
};

// The table's entries as they stand: the standard functions, unless a test
// has put others in their place.
extern SystemCalls sys;

#endif
