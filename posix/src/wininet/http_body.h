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

// curl's receive buffer. Its default of 16 KiB costs a receive, a poll and an
// acknowledgement for every 16 KiB of body; a larger one lets one receive take
// what has piled up in the socket meanwhile. Not larger still: the spill grows
// with it, and the memory a download touches is, for the small files an
// update is made of, what costs most after starting the process (512 KiB was
// faster for bodies of 64 MiB and more, and slower for 1 MiB ones). And just
// under malloc's threshold for giving a block a mapping of its own (128 KiB;
// curl asks for one byte more): a mapped block goes back to the system when
// freed, and the next transfer's is faulted in page by page anew, where one
// from the heap is used again.
const long kReceiveBuffer = 127 * 1024;

// The most the spill holds before curl is paused. curl reads on while the
// socket has data, so unpaused it would bring all the socket holds; paused,
// it keeps a copy of the rest of its buffer and hands it over when resumed.
// Half a receive buffer: a resumed receive pauses at most once more, and the
// memory a download touches stays small (for a 1 MiB body, five downloads in
// a row ran 1.1 times as fast as with a spill of a whole receive; 512 MiB
// ones 3 % slower).
const size_t kMaxSpill = kReceiveBuffer / 2;

// What the spill may have to hold, reserved whole at once: a receive of which
// the caller's buffer took only part is taken whole (curl can't be paused
// after some of it), so up to a receive less a byte.
const size_t kSpillCapacity = kReceiveBuffer;

struct BodyBuffer {
    char *target = nullptr;  // the caller's buffer during a read
    size_t targetSpace = 0;
    size_t targetFilled = 0;
    std::vector<char> spill;  // what came beyond the caller's buffer
    size_t spillStart = 0;    // the spill's first byte not yet handed out
    bool paused = false;      // curl holds the rest until the spill is empty
    unsigned long long delivered = 0;  // body bytes taken from curl so far
};

// A read begins: `buffer` is the target, and what waits in the spill goes
// into it first.
void BodyStartRead(BodyBuffer *body, void *buffer, size_t space);

// True once: curl was paused and the spill is empty, so curl is to be resumed.
bool BodyResumeDue(BodyBuffer *body);

// The read has what it came for: its buffer is full, or curl is paused.
bool BodyReadSatisfied(const BodyBuffer *body);

// Takes one of curl's deliveries: into the target as far as it goes, the
// rest into the spill. False when none of it is taken and curl is to be
// paused (the spill is full enough); curl hands it over again when resumed.
bool BodyDeliver(BodyBuffer *body, const char *data, size_t length);

// Whether the deliveries since `deliveredBefore` filled curl's whole buffer,
// so that more likely waits in the socket.
bool BodyFilledReceive(const BodyBuffer *body, unsigned long long deliveredBefore);

// The read ends: how much its buffer got. The target is forgotten.
size_t BodyFinishRead(BodyBuffer *body);

// The transfer ends: the spill's memory goes back to the spare.
void BodyRelease(BodyBuffer *body);

#endif
