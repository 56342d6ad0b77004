// The body on its way from curl to the caller: the caller's buffer during a
// read (the target), the spill for what curl brings beyond it, the spare
// spill kept from one transfer to the next, and whether curl is to be paused
// or resumed. Only http_body.cpp writes a BodyBuffer. It touches its own
// memory and the spare spill's lock, nothing else: the transfer pauses and
// resumes curl when these functions say so.
#ifndef WINPOSIX_HTTP_BODY_H
#define WINPOSIX_HTTP_BODY_H

#include <cstddef>
#include <vector>

// curl's receive buffer, which is also the most one receive brings. Every
// receive costs a system call and, as the socket's window opens, an
// acknowledgement, so small ones make large bodies slow. But the memory a
// download touches for the first time is what costs most after starting the
// process, and a receive's worth of it is touched twice over: in curl's
// buffer and in the spill. 64 KiB weighs the two (bench/README.md, "Fresh
// memory" and "Receiving", has the figures). curl allocates its buffer when
// the transfer connects and takes no other size after that (7.88 refuses
// one), so the size is the same for every body. Below malloc's threshold for
// a mapping of its own (128 KiB), so that a transfer after the first reuses
// the memory.
const long kReceiveBuffer = 64 * 1024;

// What the spill may have to hold, reserved whole at once: curl is paused as
// soon as the caller's buffer is full, and hands over the rest of that
// receive before it stops, so at most a receive.
const size_t kSpillCapacity = kReceiveBuffer;

struct BodyBuffer {
    char *target = nullptr;  // the caller's buffer during a read
    size_t targetSpace = 0;
    size_t targetFilled = 0;
    std::vector<char> spill;  // what came beyond the caller's buffer
    size_t spillStart = 0;    // the spill's first byte not yet handed out
    bool paused = false;      // curl is paused until the spill is empty
    bool resuming = false;    // curl is handing over what it kept while paused
    unsigned long long delivered = 0;  // body bytes taken from curl so far
};

// A read begins: `buffer` is the target, and what waits in the spill goes
// into it first.
void BodyStartRead(BodyBuffer *body, void *buffer, size_t space);

// True once: curl was paused and the spill is empty, so curl is to be
// resumed. What curl kept while paused comes during the resume, until
// BodyResumed: that is taken as far as the spill goes, and the rest refused,
// so that no pause is asked for inside the resume itself.
bool BodyResumeDue(BodyBuffer *body);
void BodyResumed(BodyBuffer *body);

// The read has what it came for: its buffer is full, or curl is paused.
bool BodyReadSatisfied(const BodyBuffer *body);

// What became of one of curl's deliveries.
enum Delivery {
    kDeliveryTaken,       // all of it
    kDeliveryTakenPause,  // all of it, and the caller's buffer is full: curl
                          // is to be paused once this receive is handed over
    kDeliveryRefused,     // none of it: curl keeps it, paused, until resumed
};

// Takes one of curl's deliveries (at most 16 KiB, as curl promises): into
// the target as far as it goes, the rest into the spill.
Delivery BodyDeliver(BodyBuffer *body, const char *data, size_t length);

// Whether the deliveries since `deliveredBefore` filled curl's whole buffer,
// so that more likely waits in the socket.
bool BodyFilledReceive(const BodyBuffer *body, unsigned long long deliveredBefore);

// The read ends: how much its buffer got. The target is forgotten.
size_t BodyFinishRead(BodyBuffer *body);

// The transfer ends: the spill's memory goes back to the spare.
void BodyRelease(BodyBuffer *body);

#endif
