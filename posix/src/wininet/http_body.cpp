// The body's buffers (http_body.h): the target, the spill, and the spare
// spill kept between transfers, with the one decision curl's pausing rests
// on. Knows no curl, sockets or handles; its one lock is the spare spill's.
#include "http_body.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

// The spill's memory, kept from one transfer to the next. Memory fresh from
// the system costs a page fault for each page first touched, and what a
// transfer frees at its end goes back to the system once enough of the
// heap's top is free, to be faulted in anew by the next: for files of a few
// MB, those faults were most of what a download cost beyond a plain libcurl
// loop (bench/README.md, "Fresh memory"). One is kept, for one
// download after another; downloads at once beyond it have their own.
// Never destroyed: a transfer on another thread may still end while the
// process exits.
std::mutex spareSpillLock;
std::vector<char> &spareSpill = *new std::vector<char>;

void TakeSpill(std::vector<char> *spill)
{
    {
        std::lock_guard<std::mutex> hold(spareSpillLock);
        if (spareSpill.capacity() >= kSpillCapacity) spill->swap(spareSpill);
    }
    // Reserved whole at once: growing step by step would copy and touch
    // fresh memory several times over.
    if (spill->capacity() < kSpillCapacity) spill->reserve(kSpillCapacity);
}

void GiveBackSpill(std::vector<char> *spill)
{
    spill->clear();
    std::lock_guard<std::mutex> hold(spareSpillLock);
    if (spareSpill.capacity() < spill->capacity()) spill->swap(spareSpill);
}

}  // namespace

void BodyStartRead(BodyBuffer *body, void *buffer, size_t space)
{
    body->target = (char *)buffer;
    body->targetSpace = space;
    body->targetFilled = 0;
    size_t taken = std::min(body->spill.size() - body->spillStart, space);
    if (!taken) return;
    memcpy(body->target, body->spill.data() + body->spillStart, taken);
    body->spillStart += taken;
    body->targetFilled = taken;
    if (body->spillStart == body->spill.size()) {
        body->spill.clear();
        body->spillStart = 0;
    }
}

bool BodyResumeDue(BodyBuffer *body)
{
    if (!body->paused || !body->spill.empty()) return false;
    body->paused = false;
    body->resuming = true;
    return true;
}

void BodyResumed(BodyBuffer *body)
{
    body->resuming = false;
}

bool BodyReadSatisfied(const BodyBuffer *body)
{
    return body->targetFilled == body->targetSpace || body->paused;
}

Delivery BodyDeliver(BodyBuffer *body, const char *data, size_t length)
{
    size_t direct = std::min(length, body->targetSpace - body->targetFilled);
    if (direct < length) {
        // The spill is empty while the target has room, so only a delivery
        // that finds the target full can find the spill full too.
        if (direct == 0 && body->spill.size() + length > kSpillCapacity) {
            body->paused = true;
            return kDeliveryRefused;
        }
        if (body->spill.capacity() < kSpillCapacity) TakeSpill(&body->spill);
        body->spill.insert(body->spill.end(), data + direct, data + length);
    }
    if (direct) {
        memcpy(body->target + body->targetFilled, data, direct);
        body->targetFilled += direct;
    }
    body->delivered += length;
    if (body->targetFilled < body->targetSpace || body->paused || body->resuming) return kDeliveryTaken;
    body->paused = true;
    return kDeliveryTakenPause;
}

bool BodyFilledReceive(const BodyBuffer *body, unsigned long long deliveredBefore)
{
    return body->delivered - deliveredBefore >= (unsigned long long)kReceiveBuffer;
}

size_t BodyFinishRead(BodyBuffer *body)
{
    size_t filled = body->targetFilled;
    body->target = nullptr;
    body->targetSpace = body->targetFilled = 0;
    return filled;
}

void BodyRelease(BodyBuffer *body)
{
    GiveBackSpill(&body->spill);
    body->spillStart = 0;
}
