// Module: one device module reached through its own Link. It remembers the
// module address packets carry and the model used as a discovery filter, and
// after each connection optionally asks the device for its real address.
#pragma once

#include "device/Link.h"

#include <cstdint>

namespace Velquire {
namespace Corvantis {

class Module {
public:
    Module(uint8_t address, uint8_t model);
    Module(uint8_t address, bool autoNetworking, uint8_t model);
    virtual ~Module();
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;

    vErr connect(uint32_t type, uint32_t serialNumber);
    vErr discoverAndConnect(uint32_t type, uint32_t serialNumber);
    vErr connectFromSpec(linkSpec spec);
    vErr connectThroughLinkModule(Module *router);
    bool isConnected() const;
    int getStatus() const;
    vErr disconnect();
    vErr reconnect();

    uint8_t getModuleAddress() const;
    void setModuleAddress(uint8_t address);
    vErr getLinkSpecifier(linkSpec *spec) const;
    vErr getConfig(vEtherConfig *config) const;
    vErr setConfig(vEtherConfig config);
    Link *getLink() const;
    void setNetworkingMode(bool autoNetworking);
    vErr enablePacketLog(const char *fileName);
    vErr disablePacketLog();

    // Echo test: the device repeats data after the command byte.
    vErr debug(const uint8_t *data, uint8_t length);
    vErr getBuild(uint32_t *build);
    // vErrNone when the device implements the UEI; else the device's code.
    vErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    vErr classQuantity(uint8_t command, uint8_t *count);
    vErr subClassQuantity(uint8_t command, uint8_t index, uint8_t *count);
    vErr entityGroup(uint8_t command, uint8_t index, uint8_t *group);

private:
    vErr _autoNetwork();
    vErr _query(uint8_t sub, uint8_t command, uint8_t index, uint8_t *value);
    vErr _capability(const uint8_t *request, uint8_t size, uint8_t matchLength, uint8_t *reply, uint8_t *length);

    Link *m_link;
    uint8_t m_address;
    bool m_autoNetworking;
    uint8_t m_model;
};

} // namespace Corvantis
} // namespace Velquire
