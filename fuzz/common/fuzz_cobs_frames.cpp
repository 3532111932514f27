// COBS frames with a valid CRC-8 built around the input, so every input gets
// past the frame checks into the packets. The input is a list of records
//   [control] [address] [length] [data...]
// each made into one frame. Control bit 0 spoils the frame's CRC, bit 1
// puts a stray delimiter before it, bit 2 leaves its delimiter off so it runs
// into the next frame. The receiver, and the COBS stream on top of it, must
// hand out exactly the packets of the intact frames, in order; the stream's
// write side must frame each packet (address non-zero) as they were built.
#include "common/vCobs.h"
#include "common/vStream.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

struct Source {
    const Bytes *bytes;
    size_t pos;
    static vErr get(uint8_t *byte, void *ref)
    {
        Source *s = static_cast<Source *>(ref);
        if (s->pos >= s->bytes->size())
            return vErrEOF;
        *byte = (*s->bytes)[s->pos++];
        return vErrNone;
    }
};

struct Sink {
    Bytes bytes;
    static vErr put(uint8_t byte, void *ref)
    {
        static_cast<Sink *>(ref)->bytes.push_back(byte);
        return vErrNone;
    }
};

// The frames of the records, and the wire bytes of the packets that must
// come through: between two delimiters, exactly one frame with a good CRC.
void sBuild(const uint8_t *data, size_t size, Bytes &line, Bytes &expected, std::vector<Bytes> &packets)
{
    std::vector<Bytes> open; // packets of the frames since the last delimiter; empty: a spoilt frame
    auto delimit = [&]() {
        line.push_back(0);
        if (open.size() == 1 && !open[0].empty()) {
            expected.insert(expected.end(), open[0].begin(), open[0].end());
            packets.push_back(open[0]);
        }
        open.clear();
    };
    size_t i = 0;
    while (i + 3 <= size) {
        uint8_t control = data[i];
        uint8_t length = uint8_t(data[i + 2] % 29);
        Bytes wire = {data[i + 1], length};
        i += 3;
        for (uint8_t k = 0; k < length; ++k)
            wire.push_back(i < size ? data[i++] : k);
        uint8_t plain[vCOBS_MAX_DECODED];
        memcpy(plain, wire.data(), wire.size());
        plain[wire.size()] = uint8_t(vCRC8_Compute(wire.data(), wire.size()) ^ ((control & 1) ? 0x5A : 0));
        uint8_t frame[vCOBS_MAX_FRAME];
        size_t n = vCobs_Encode(plain, wire.size() + 1, frame);
        if (control & 2)
            delimit();
        line.insert(line.end(), frame, frame + n);
        open.push_back((control & 1) ? Bytes() : wire);
        if (!(control & 4))
            delimit();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Bytes line, expected;
    std::vector<Bytes> packets;
    sBuild(data, size, line, expected, packets);

    vCobsReceiver rx;
    vCobsReceiver_Reset(&rx);
    Bytes received;
    for (uint8_t byte : line) {
        uint8_t wire[vCOBS_MAX_DECODED];
        size_t n = 0;
        if (vCobsReceiver_Feed(&rx, byte, wire, &n) == vErrNone)
            received.insert(received.end(), wire, wire + n);
    }
    if (received != expected)
        __builtin_trap();

    Source source{&line, 0};
    vStream *in = nullptr;
    if (vStream_CreateCobsEncoding(Source::get, nullptr, nullptr, nullptr, &source, &in) != vErrNone)
        return 0;
    Bytes streamed;
    // Each line byte takes one call, each packet byte handed out one more.
    for (size_t calls = 0; calls < line.size() + expected.size() + 4; ++calls) {
        uint8_t b;
        if (vStream_Read(in, &b, 1) == vErrNone)
            streamed.push_back(b);
    }
    vStream_Destroy(&in);
    if (streamed != expected)
        __builtin_trap();

    // Writing the packets frames each one as the receiver reads it back.
    Sink sink;
    vStream *out = nullptr;
    if (vStream_CreateCobsEncoding(nullptr, Sink::put, nullptr, nullptr, &sink, &out) != vErrNone)
        return 0;
    Bytes framed;
    for (const Bytes &p : packets) {
        // Address 0 is no packet to send: the write side drops it.
        if (p[0] == 0)
            continue;
        if (vStream_Write(out, p.data(), uint32_t(p.size())) != vErrNone)
            __builtin_trap();
        uint8_t frame[vCOBS_MAX_FRAME];
        size_t n = vCobs_BuildFrame(p.data(), p.size(), frame);
        framed.insert(framed.end(), frame, frame + n);
    }
    vStream_Destroy(&out);
    if (sink.bytes != framed)
        __builtin_trap();
    return 0;
}
