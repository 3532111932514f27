// Generic stream layer: operation table, push-back ring, records and texts.
#include "common/vStream.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

struct vStream {
    vStreamGetFn get;
    vStreamPutFn put;
    vStreamWriteFn write;
    vStreamDeleteFn del;
    vStreamWaitFn wait;
    void *reference;
    uint8_t *ring;      // push-back bytes, allocated on first use
    uint32_t buffered;  // bytes in the ring
    uint32_t capacity;
    uint32_t head;      // next byte to hand out
    uint32_t tail;      // next free slot
    uint16_t check;
};

namespace {

const uint32_t kRingStep = 512;

bool sRingPush(vStream *s, uint8_t byte)
{
    if (s->ring == nullptr) {
        s->ring = static_cast<uint8_t *>(std::malloc(kRingStep));
        if (s->ring == nullptr)
            return false;
        s->capacity = kRingStep;
        s->buffered = s->head = s->tail = 0;
    } else if (s->buffered >= s->capacity - 1) {
        // Grow by one step, unrolling the contents to the start in order.
        uint32_t grown = s->capacity + kRingStep;
        uint8_t *next = static_cast<uint8_t *>(std::malloc(grown));
        if (next == nullptr)
            return false;
        for (uint32_t i = 0; i < s->buffered; ++i)
            next[i] = s->ring[(s->head + i) % s->capacity];
        std::free(s->ring);
        s->ring = next;
        s->capacity = grown;
        s->head = 0;
        s->tail = s->buffered;
    }
    s->ring[s->tail] = byte;
    s->tail = (s->tail + 1) % s->capacity;
    ++s->buffered;
    return true;
}

bool sRingPop(vStream *s, uint8_t *byte)
{
    if (s->buffered == 0)
        return false;
    *byte = s->ring[s->head];
    s->head = (s->head + 1) % s->capacity;
    --s->buffered;
    return true;
}

// Returns bytes to the stream. Only called when the ring is empty (the read
// that consumed them ran dry on the variant), so appending keeps them in order.
vErr sPushBack(vStream *s, const uint8_t *bytes, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        if (!sRingPush(s, bytes[i]))
            return vErrMemory;
    return vErrNone;
}

} // namespace

vStream *vStream_Create(vStreamGetFn get, vStreamPutFn put, vStreamWriteFn write,
                        vStreamDeleteFn del, void *reference)
{
    vStream *s = new (std::nothrow) vStream();
    if (s == nullptr)
        return nullptr;
    s->get = get;
    s->put = put;
    s->write = write;
    s->del = del;
    s->wait = nullptr;
    s->reference = reference;
    s->ring = nullptr;
    s->buffered = s->capacity = s->head = s->tail = 0;
    s->check = vSTREAM_CHECK;
    return s;
}

bool vStream_IsValid(const vStream *stream)
{
    return stream != nullptr && stream->check == vSTREAM_CHECK;
}

vErr vStream_SetWaitOperation(vStream *stream, vStreamWaitFn wait)
{
    if (!vStream_IsValid(stream))
        return vErrParam;
    stream->wait = wait;
    return vErrNone;
}

vErr vStream_Destroy(vStream **stream)
{
    if (stream == nullptr || !vStream_IsValid(*stream))
        return vErrParam;
    vStream *s = *stream;
    vErr err = vErrNone;
    if (s->del != nullptr)
        err = s->del(s->reference);
    std::free(s->ring);
    s->ring = nullptr;
    s->check = 0;
    delete s;
    *stream = nullptr;
    return err;
}

vErr vStream_Read(vStream *stream, uint8_t *buffer, uint32_t size)
{
    if (!vStream_IsValid(stream) || buffer == nullptr)
        return vErrParam;
    if (stream->get == nullptr)
        return vErrMode;
    if (size == 1) {
        // The link engine's path: no staging needed for a single byte.
        if (sRingPop(stream, buffer))
            return vErrNone;
        return stream->get(buffer, stream->reference);
    }
    std::vector<uint8_t> staging;
    try {
        staging.resize(size);
    } catch (const std::bad_alloc &) {
        return vErrResource;
    }
    uint32_t got = 0;
    vErr err = vErrNone;
    while (got < size) {
        if (sRingPop(stream, &staging[got])) {
            ++got;
            continue;
        }
        err = stream->get(&staging[got], stream->reference);
        if (err != vErrNone)
            break;
        ++got;
    }
    if (err == vErrNone || err == vErrEOF) {
        std::memcpy(buffer, staging.data(), got);
        return err;
    }
    // Any other failure part way keeps the bytes already taken, so nothing is
    // lost: the next read sees them first.
    vErr pushed = sPushBack(stream, staging.data(), got);
    return pushed != vErrNone ? pushed : err;
}

vErr vStream_Write(vStream *stream, const uint8_t *data, uint32_t length)
{
    if (!vStream_IsValid(stream) || (data == nullptr && length > 0))
        return vErrParam;
    if (stream->write != nullptr && (length > 1 || stream->put == nullptr))
        return stream->write(data, length, stream->reference);
    if (stream->put == nullptr)
        return vErrMode;
    for (uint32_t i = 0; i < length; ++i) {
        vErr err = stream->put(data[i], stream->reference);
        if (err != vErrNone)
            return err;
    }
    return vErrNone;
}

vErr vStream_WaitReadable(vStream *stream, uint32_t timeoutMs)
{
    if (!vStream_IsValid(stream))
        return vErrParam;
    if (stream->buffered > 0)
        return vErrNone;
    if (stream->wait == nullptr)
        return vErrUnimplemented;
    return stream->wait(timeoutMs, stream->reference);
}

vErr vStream_ReadRecord(vStream *stream, uint8_t *buffer, uint32_t *count, uint32_t size,
                        const uint8_t *terminator, uint32_t terminatorLength)
{
    if (!vStream_IsValid(stream) || (buffer == nullptr && size > 0) || count == nullptr ||
        (terminator == nullptr && terminatorLength > 0))
        return vErrParam;
    if (stream->get == nullptr)
        return vErrMode;
    *count = 0;
    // Every byte taken, stored or matched, so a dry stream gets all of them back.
    std::vector<uint8_t> consumed;
    uint32_t stored = 0;
    uint32_t matched = 0;
    while (stored < size && (terminatorLength == 0 || matched < terminatorLength)) {
        uint8_t byte = 0;
        vErr err = vStream_Read(stream, &byte, 1);
        if (err == vErrEOF && stored > 0)
            break;
        if (err != vErrNone) {
            if (err != vErrEOF) {
                vErr pushed = sPushBack(stream, consumed.data(), static_cast<uint32_t>(consumed.size()));
                if (pushed != vErrNone)
                    return pushed;
            }
            return err;
        }
        try {
            consumed.push_back(byte);
        } catch (const std::bad_alloc &) {
            return vErrMemory;
        }
        if (terminatorLength > 0 && byte == terminator[matched])
            ++matched;
        else
            buffer[stored++] = byte;
    }
    *count = stored;
    return vErrNone;
}

vErr vStream_WriteRecord(vStream *stream, const uint8_t *data, uint32_t length,
                         const uint8_t *terminator, uint32_t terminatorLength)
{
    if (!vStream_IsValid(stream) || (terminator == nullptr && terminatorLength > 0))
        return vErrParam;
    vErr err = vStream_Write(stream, data, length);
    if (err != vErrNone)
        return err;
    return vStream_Write(stream, terminator, terminatorLength);
}

vErr vStream_ReadCString(vStream *stream, char *buffer, uint32_t size)
{
    static const uint8_t kZero = 0;
    if (buffer == nullptr || size == 0)
        return vErrParam;
    uint32_t count = 0;
    vErr err = vStream_ReadRecord(stream, reinterpret_cast<uint8_t *>(buffer), &count, size - 1, &kZero, 1);
    if (err != vErrNone)
        return err;
    buffer[count] = '\0';
    return vErrNone;
}

vErr vStream_WriteCString(vStream *stream, const char *text)
{
    if (text == nullptr)
        return vErrParam;
    return vStream_Write(stream, reinterpret_cast<const uint8_t *>(text),
                         static_cast<uint32_t>(std::strlen(text)) + 1);
}

vErr vStream_ReadCStringRecord(vStream *stream, char *buffer, uint32_t size, const char *terminator)
{
    if (buffer == nullptr || size == 0 || terminator == nullptr)
        return vErrParam;
    uint32_t count = 0;
    vErr err = vStream_ReadRecord(stream, reinterpret_cast<uint8_t *>(buffer), &count, size - 1,
                                  reinterpret_cast<const uint8_t *>(terminator),
                                  static_cast<uint32_t>(std::strlen(terminator)) + 1);
    if (err != vErrNone)
        return err;
    buffer[count] = '\0';
    return vErrNone;
}

vErr vStream_WriteCStringRecord(vStream *stream, const char *text, const char *terminator)
{
    if (text == nullptr || terminator == nullptr)
        return vErrParam;
    return vStream_WriteRecord(stream, reinterpret_cast<const uint8_t *>(text),
                               static_cast<uint32_t>(std::strlen(text)),
                               reinterpret_cast<const uint8_t *>(terminator),
                               static_cast<uint32_t>(std::strlen(terminator)) + 1);
}

vErr vStream_Flush(vStream *source, vStream *destination)
{
    if (!vStream_IsValid(source) || !vStream_IsValid(destination))
        return vErrParam;
    if (source->get == nullptr || destination->put == nullptr)
        return vErrMode;
    for (;;) {
        uint8_t byte = 0;
        vErr err = vStream_Read(source, &byte, 1);
        if (err == vErrEOF)
            return vErrNone;
        if (err != vErrNone)
            return err;
        err = destination->put(byte, destination->reference);
        if (err != vErrNone)
            return err;
    }
}
