// Link: one device connection of the object layer. It owns one link-engine
// link and the link specifier that says how to reach the device, and offers
// the request/reply exchanges of the device protocol: UEI gets and sets, raw
// command packets, the module-address query, store slots, factory data, and
// the sampling of value streams (StreamSampling.cpp).
//
// Every operation returns a vErr and nothing throws.
#pragma once

#include "common/vError.h"
#include "common/vLinkSpecifier.h"
#include "common/vPacket.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

namespace Velquire {
namespace Corvantis {

// Per-link network-sharing configuration, copied by value.
struct vEtherConfig {
    uint8_t enabled = 1;   // direct links are created behind a link server; client transports allowed
    uint8_t fallback = 1;  // discoverAndConnect retries once on the other transport family
    uint8_t localOnly = 1; // a created server binds on loopback only
    uint16_t assignedPort = 0;
    uint32_t networkInterface = sLoopback(); // IPv4, network byte order

private:
    static uint32_t sLoopback()
    {
        const uint8_t bytes[4] = {0x7F, 0x00, 0x00, 0x01};
        uint32_t address;
        std::memcpy(&address, bytes, sizeof address);
        return address;
    }
};

enum ueiType {
    ueiTypeVoid = 0,
    ueiTypeByte = 1,
    ueiTypeShort = 2,
    ueiTypeInt = 4,
    ueiTypeBytes = 5,
};

// One UEI value exchanged with a device.
struct uei {
    uint8_t module = 0;
    uint8_t command = 0;
    uint8_t option = 0;    // 0x40 get, 0x80 set, 0xC0 set acknowledgement
    uint8_t specifier = 0; // index in bits 0-4; 0x20 on requests; 0x80 error reply
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        struct {
            uint8_t *data;
            uint32_t length;
        } bytes;
    } v = {};
    ueiType type = ueiTypeVoid;
};

// Accepts the reply to a UEI request described by the uei given as context
// (module, command, option, plain index) and fills the uei from it.
bool sUEIFilter(const vPacket *packet, void *ueiContext);

class Link {
public:
    // Stream sampling (StreamSampling.cpp).
    typedef std::function<uint8_t(const vPacket *, void *)> StreamCallback;
    struct StreamStatusEntry {
        uint64_t key;
        uint32_t value;
    };
    enum StreamPacketType {
        STREAM_PACKET_NONE = 0,
        STREAM_PACKET_BYTE = 1,
        STREAM_PACKET_SHORT = 2,
        STREAM_PACKET_INT = 3,
        STREAM_PACKET_BYTES = 4,
        STREAM_PACKET_SUB_BYTE = 5,
        STREAM_PACKET_SUB_SHORT = 6,
        STREAM_PACKET_SUB_INT = 7,
    };

    Link(const linkSpec &spec, const char *name);
    explicit Link(const char *name);
    ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    vErr getConfig(vEtherConfig *config) const;
    vErr setConfig(vEtherConfig config);

    vErr discoverAndConnect(uint32_t type, uint32_t serialNumber, uint8_t model);
    vErr connect();
    vErr connectThroughLinkModule(Link &other);
    bool isConnected() const;
    int getStatus() const;
    vErr disconnect();
    vErr reset();
    // The link-engine link id (0: none).
    uint32_t getLinkId() const;
    // Lets go of the process's USB context; the next USB use makes a new one,
    // which sees the bus afresh (a device that re-enumerated, for one).
    static void releaseUSBContext();

    vErr getModuleAddress(uint8_t *address);

    vErr sendUEI(const uei &value);
    vErr sendUEI(const uei &value, uint8_t subindex);
    vErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei *value,
                    vPacketFilter filter = sUEIFilter);
    vErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier);

    vErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t *data);
    // *length: the match length in, the reply's data length out; out gets
    // every data byte of the reply (at least 28 bytes of room).
    vErr receivePacket(uint8_t address, const uint8_t *match, uint8_t *length, uint8_t *out);

    vErr loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t *data, uint32_t length);
    vErr unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t *buffer, uint32_t bufferLength,
                         uint32_t *count);
    vErr storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, uint32_t *size);
    vErr storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, uint32_t *capacity);

    vErr getFactoryData(uint8_t address, uint8_t index, uint8_t *buffer, uint32_t bufferLength, uint32_t *count);
    vErr setFactoryData(uint8_t address, uint8_t index, const uint8_t *data, uint32_t length);

    const char *getName() const;
    vErr getLinkSpecifier(linkSpec *spec) const;
    vErr setLinkSpecifier(linkSpec spec);
    vErr enablePooledPackets(bool on);
    vErr enablePacketLog(const char *fileName);
    vErr disablePacketLog();

    // --- stream sampling ---
    static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t subindex);
    static uint8_t getStreamKeyElement(uint64_t key, int element);
    static bool isStreamPacket(const vPacket *packet);
    static bool isStreamPacket(const vPacket *packet, StreamPacketType *type);
    static StreamPacketType getStreamPacketType(const vPacket *packet);
    static bool isSubindexType(StreamPacketType type);
    static bool isStreamSample(const vPacket *packet);
    static vErr getStreamSample(const vPacket *packet, uint64_t *timestamp, uint32_t *value, uint8_t *subindex);
    static void getTimestampParts(uint64_t timestamp, uint32_t *high, uint32_t *low);

    vErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                StreamCallback callback, void *context);
    vErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
    vErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                        uint32_t *value);
    vErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                         StreamStatusEntry *entries, size_t capacity, size_t *count);
    std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                 uint8_t subindex, bool lock);
    vErr isLinkStreaming(uint8_t module, uint8_t *state);

    struct impl;

private:
    impl *m_impl;
};

} // namespace Corvantis
} // namespace Velquire
