// COBS-framed stream: packets written are framed one per underlying write;
// frames read are checked and handed out as plain packet wire bytes.
#include "common/vCobs.h"
#include "common/vPacket.h"
#include "common/vStream.h"

#include <cstring>
#include <new>

namespace {

const uint16_t kCobsCheck = 0xC0B5;

struct CobsState {
    uint16_t check;
    vStreamGetFn get;
    vStreamPutFn put;
    vStreamWriteFn write;
    vStreamDeleteFn del;
    vStreamWaitFn wait;
    void *ref;
    vCobsReceiver rx;
    bool pending;                      // a decoded packet is being handed out
    uint8_t packet[vCOBS_MAX_DECODED]; // its wire bytes
    size_t packetLength;
    size_t readPos;
    vPacket *builder;                  // packet assembled from written bytes
    uint8_t tx[vCOBS_MAX_FRAME];
    size_t txLength;
};

CobsState *sState(void *ref)
{
    CobsState *s = static_cast<CobsState *>(ref);
    return (s != nullptr && s->check == kCobsCheck) ? s : nullptr;
}

vErr sCobsGet(uint8_t *byte, void *ref)
{
    CobsState *s = sState(ref);
    if (s == nullptr || byte == nullptr)
        return vErrParam;
    if (s->pending) {
        *byte = s->packet[s->readPos++];
        if (s->readPos >= s->packetLength)
            s->pending = false;
        return vErrNone;
    }
    if (s->get == nullptr)
        return vErrMode;
    uint8_t in = 0;
    if (s->get(&in, s->ref) != vErrNone)
        return vErrNotReady;
    size_t n = 0;
    vErr err = vCobsReceiver_Feed(&s->rx, in, s->packet, &n);
    if (err == vErrNone) {
        s->packetLength = n;
        s->readPos = 0;
        s->pending = true;
        return vErrNotReady;
    }
    return err;
}

vErr sUnderlyingWrite(CobsState *s, const uint8_t *data, size_t length)
{
    if (s->write != nullptr)
        return s->write(data, static_cast<uint32_t>(length), s->ref);
    if (s->put == nullptr)
        return vErrMode;
    for (size_t i = 0; i < length; ++i) {
        vErr err = s->put(data[i], s->ref);
        if (err != vErrNone)
            return err;
    }
    return vErrNone;
}

vErr sCobsWrite(const uint8_t *data, uint32_t length, void *ref)
{
    CobsState *s = sState(ref);
    if (s == nullptr || (data == nullptr && length > 0))
        return vErrParam;
    vErr result = vErrNone;
    for (uint32_t i = 0; i < length; ++i) {
        if (vPacket_AddByte(s->builder, data[i]) != vErrNone) {
            // Not a packet boundary we can follow: drop the byte and the
            // partial packet so the next packet written starts clean.
            vPacket_Reset(s->builder);
            continue;
        }
        if (!vPacket_IsComplete(s->builder))
            continue;
        uint8_t wire[vCOBS_MAX_DECODED];
        size_t wireLength = 0;
        vPacket_GetBytes(s->builder, wire, sizeof wire, &wireLength);
        vPacket_Reset(s->builder);
        s->txLength = vCobs_BuildFrame(wire, wireLength, s->tx);
        if (s->txLength == 0)
            continue;
        vErr err = sUnderlyingWrite(s, s->tx, s->txLength);
        if (err != vErrNone)
            result = err;
    }
    return result;
}

vErr sCobsPut(uint8_t byte, void *ref)
{
    return sCobsWrite(&byte, 1, ref);
}

vErr sCobsWait(uint32_t timeoutMs, void *ref)
{
    CobsState *s = sState(ref);
    if (s == nullptr)
        return vErrParam;
    if (s->pending)
        return vErrNone;
    return s->wait(timeoutMs, s->ref);
}

void sFree(CobsState *s)
{
    vPacket_Destroy(&s->builder);
    s->check = 0;
    delete s;
}

vErr sCobsDelete(void *ref)
{
    CobsState *s = sState(ref);
    if (s == nullptr)
        return vErrParam;
    vErr err = s->del != nullptr ? s->del(s->ref) : vErrNone;
    sFree(s);
    return err;
}

} // namespace

vErr vStream_CreateCobsEncodingWithWait(vStreamGetFn get, vStreamPutFn put, vStreamWriteFn write,
                                        vStreamDeleteFn del, vStreamWaitFn wait, void *reference,
                                        vStream **stream)
{
    if (stream == nullptr)
        return vErrParam;
    *stream = nullptr;
    CobsState *s = new (std::nothrow) CobsState();
    if (s == nullptr)
        return vErrMemory;
    s->check = kCobsCheck;
    s->get = get;
    s->put = put;
    s->write = write;
    s->del = del;
    s->wait = wait;
    s->ref = reference;
    vCobsReceiver_Reset(&s->rx);
    s->pending = false;
    s->builder = vPacket_Create();
    if (s->builder == nullptr) {
        sFree(s);
        return vErrMemory;
    }
    vStream *made = vStream_Create(get != nullptr ? sCobsGet : nullptr,
                                   (put != nullptr || write != nullptr) ? sCobsPut : nullptr,
                                   (put != nullptr || write != nullptr) ? sCobsWrite : nullptr,
                                   sCobsDelete, s);
    if (made == nullptr) {
        sFree(s);  // the underlying stream stays the caller's
        return vErrResource;
    }
    if (wait != nullptr)
        vStream_SetWaitOperation(made, sCobsWait);
    *stream = made;
    return vErrNone;
}

vErr vStream_CreateCobsEncoding(vStreamGetFn get, vStreamPutFn put, vStreamWriteFn write,
                                vStreamDeleteFn del, void *reference, vStream **stream)
{
    return vStream_CreateCobsEncodingWithWait(get, put, write, del, nullptr, reference, stream);
}
