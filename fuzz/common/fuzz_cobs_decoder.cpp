// COBS receive side fed arbitrary bytes: the frame receiver directly, and the
// COBS stream over a byte table that serves the input.
#include "common/vCobs.h"
#include "common/vStream.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct Input {
    const uint8_t *data;
    size_t size;
    size_t pos;
    static vErr get(uint8_t *byte, void *ref)
    {
        Input *in = static_cast<Input *>(ref);
        if (in->pos >= in->size)
            return vErrEOF;
        *byte = in->data[in->pos++];
        return vErrNone;
    }
};

void sCheckPacket(const uint8_t *wire, size_t n)
{
    // Whatever passes the frame checks is a well-formed packet...
    if (n < 2 || n > 30 || static_cast<size_t>(wire[1]) + 2 != n)
        std::abort();
    // ...that frames back to something the receiver accepts unchanged.
    uint8_t frame[vCOBS_MAX_FRAME];
    size_t f = vCobs_BuildFrame(wire, n, frame);
    if (f == 0 || f > vCOBS_MAX_FRAME || frame[f - 1] != 0)
        std::abort();
    vCobsReceiver rx;
    vCobsReceiver_Reset(&rx);
    uint8_t again[vCOBS_MAX_DECODED];
    size_t m = 0;
    vErr err = vErrNotReady;
    for (size_t i = 0; i < f; ++i)
        err = vCobsReceiver_Feed(&rx, frame[i], again, &m);
    if (err != vErrNone || m != n || std::memcmp(again, wire, n) != 0)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vCobsReceiver rx;
    vCobsReceiver_Reset(&rx);
    for (size_t i = 0; i < size; ++i) {
        uint8_t wire[vCOBS_MAX_DECODED];
        size_t n = 0;
        if (vCobsReceiver_Feed(&rx, data[i], wire, &n) == vErrNone)
            sCheckPacket(wire, n);
    }

    // The plain decoder never writes more than it was given.
    if (size > 0) {
        uint8_t *out = static_cast<uint8_t *>(std::malloc(size));
        size_t n = 0;
        if (vCobs_Decode(data, size, out, &n) && n > size)
            std::abort();
        std::free(out);
    }

    Input in{data, size, 0};
    vStream *s = nullptr;
    if (vStream_CreateCobsEncoding(Input::get, nullptr, nullptr, nullptr, &in, &s) != vErrNone)
        return 0;
    // One call per input byte, plus one per packet byte handed out (at most
    // 30 per 3 input bytes); a few spare calls run on past the end.
    size_t handedOut = 0;
    for (size_t calls = 0; calls < 11 * size + 8; ++calls) {
        uint8_t b;
        if (vStream_Read(s, &b, 1) == vErrNone)
            ++handedOut;
    }
    if (handedOut > 10 * size)
        std::abort();
    vStream_Destroy(&s);
    return 0;
}
