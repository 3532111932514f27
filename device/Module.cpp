#include "device/Module.h"

#include "common/vDefs.h"
#include "common/vTime.h"
#include "common/vUEI.h"

#include <cstring>
#include <new>

namespace Velquire {
namespace Corvantis {

namespace {
// Sub-code of the capability command (cmdCAPABILITY) that asks for the build.
constexpr uint8_t kBuildQuery = 0xFF;
} // namespace


Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool autoNetworking, uint8_t model)
    : m_link(new (std::nothrow) Link("Link")), m_address(address), m_autoNetworking(autoNetworking), m_model(model)
{
}

Module::~Module()
{
    delete m_link;
}

vErr Module::_autoNetwork()
{
    if (!m_autoNetworking || !m_link)
        return vErrNone;
    uint8_t address = 0;
    vErr err = vErrNotReady;
    int tries = 0;
    while (tries < 4) {
        err = m_link->getModuleAddress(&address);
        tries++;
        if (err != vErrNotReady)
            break;
        vTime_MSSleep(5);
    }
    if (tries == 4 && err != vErrNone)
        vDefs_DebugPrintf(vDEBUG_MODULE, "BOO! Failed to autoNetwork\n");
    if (err == vErrNone && address != 0 && address != m_address)
        m_address = address;
    return err;
}

vErr Module::connect(uint32_t type, uint32_t serialNumber)
{
    if (serialNumber == 0)
        return vErrParam;
    return discoverAndConnect(type, serialNumber);
}

vErr Module::discoverAndConnect(uint32_t type, uint32_t serialNumber)
{
    if (!m_link)
        return vErrInitialization;
    vErr err = m_link->discoverAndConnect(type, serialNumber, m_model);
    if (err != vErrNone)
        return err;
    return _autoNetwork();
}

vErr Module::connectFromSpec(linkSpec spec)
{
    if (!m_link)
        return vErrInitialization;
    if (m_link->isConnected())
        return vErrBusy;
    vErr err = m_link->setLinkSpecifier(spec);
    if (err == vErrNone)
        err = m_link->connect();
    if (err != vErrNone)
        return err;
    err = _autoNetwork();
    vDefs_DebugPrintf(vDEBUG_MODULE, "Post autoNetwork err: %d\n", int(err));
    return err;
}

vErr Module::connectThroughLinkModule(Module *router)
{
    if (!m_link)
        return vErrInitialization;
    if (m_link->isConnected())
        return vErrNone;
    if (!router || !router->m_link)
        return vErrInitialization;
    linkSpec spec;
    vErr err = router->m_link->getLinkSpecifier(&spec);
    if (err != vErrNone)
        return err;
    vEtherConfig config;
    err = router->m_link->getConfig(&config);
    if (err == vErrNone)
        err = m_link->setConfig(config);
    if (err != vErrNone)
        return err;
    if (config.enabled) {
        // Reach the router's link server instead of the device itself.
        spec.type = linkTypeClient;
        spec.transport.ip.address = config.networkInterface;
        spec.transport.ip.port = config.assignedPort;
    }
    err = m_link->setLinkSpecifier(spec);
    if (err == vErrNone)
        err = m_link->connectThroughLinkModule(*router->m_link);
    if (err == vErrNone)
        m_autoNetworking = false;
    return err;
}

bool Module::isConnected() const
{
    return m_link && m_link->isConnected();
}

int Module::getStatus() const
{
    return m_link ? m_link->getStatus() : 8;
}

vErr Module::disconnect()
{
    if (!m_link)
        return vErrInitialization;
    return m_link->disconnect();
}

vErr Module::reconnect()
{
    if (!m_link)
        return vErrInitialization;
    vErr err = m_link->connect();
    if (err != vErrNone)
        return err;
    return _autoNetwork();
}

uint8_t Module::getModuleAddress() const
{
    return m_address;
}

void Module::setModuleAddress(uint8_t address)
{
    m_address = address;
}

vErr Module::getLinkSpecifier(linkSpec *spec) const
{
    if (!m_link)
        return vErrNotReady;
    return m_link->getLinkSpecifier(spec);
}

vErr Module::getConfig(vEtherConfig *config) const
{
    if (!m_link)
        return vErrNotReady;
    if (!config)
        return vErrParam;
    return m_link->getConfig(config);
}

vErr Module::setConfig(vEtherConfig config)
{
    if (!m_link)
        return vErrNotReady;
    return m_link->setConfig(config);
}

Link *Module::getLink() const
{
    return m_link;
}

void Module::setNetworkingMode(bool autoNetworking)
{
    m_autoNetworking = autoNetworking;
}

vErr Module::enablePacketLog(const char *fileName)
{
    if (!m_link)
        return vErrConfiguration;
    return m_link->enablePacketLog(fileName);
}

vErr Module::disablePacketLog()
{
    if (!m_link)
        return vErrConfiguration;
    return m_link->disablePacketLog();
}

vErr Module::debug(const uint8_t *data, uint8_t length)
{
    if (!isConnected())
        return vErrConnection;
    vErr err = m_link->sendPacket(m_address, cmdDEBUG, length, data);
    if (err != vErrNone)
        return err;
    const uint8_t match[1] = {cmdDEBUG};
    uint8_t reply[vPACKET_MAX_DATA];
    uint8_t replyLength = 1;
    err = m_link->receivePacket(m_address, match, &replyLength, reply);
    if (err != vErrNone)
        return err;
    if (replyLength != length + 1 || (length && std::memcmp(reply + 1, data, length) != 0))
        return vErrIO;
    return vErrNone;
}

// One capability exchange (command 73): sends the request and awaits the reply
// whose first matchLength data bytes are the command and the request's sub-code.
vErr Module::_capability(const uint8_t *request, uint8_t size, uint8_t matchLength, uint8_t *reply,
                         uint8_t *length)
{
    vErr err = m_link->sendPacket(m_address, cmdCAPABILITY, size, request);
    if (err != vErrNone)
        return err;
    const uint8_t match[2] = {cmdCAPABILITY, request[0]};
    *length = matchLength;
    return m_link->receivePacket(m_address, match, length, reply);
}

vErr Module::getBuild(uint32_t *build)
{
    if (!build)
        return vErrParam;
    if (!m_link)
        return vErrInitialization;
    if (!isConnected())
        return vErrConnection;
    const uint8_t request[1] = {kBuildQuery};
    uint8_t reply[vPACKET_MAX_DATA];
    uint8_t length = 0;
    vErr err = _capability(request, 1, 2, reply, &length);
    if (err != vErrNone)
        return err;
    if (length != 6)
        return vErrSize;
    *build = vUEI_RetrieveInt(&reply[2]);
    return vErrNone;
}

vErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags)
{
    if ((flags & 0x3F) || (flags & 0xC0) == 0xC0)
        return vErrParam;
    if (!isConnected())
        return vErrConnection;
    const uint8_t request[5] = {1, command, option, index, flags};
    uint8_t reply[vPACKET_MAX_DATA];
    uint8_t length = 0;
    vErr err = _capability(request, 5, 1, reply, &length);
    if (err != vErrNone)
        return err;
    if (length == 6 && reply[1] == 1 && reply[2] == command && reply[3] == option && reply[4] == index)
        return vError_FromDevice(reply[5]);
    return vErrUnknown;
}

vErr Module::classQuantity(uint8_t command, uint8_t *count)
{
    if (!count)
        return vErrParam;
    *count = 0;
    if (!isConnected())
        return vErrConnection;
    const uint8_t request[2] = {4, command};
    uint8_t reply[vPACKET_MAX_DATA];
    uint8_t length = 0;
    vErr err = _capability(request, 2, 1, reply, &length);
    if (err != vErrNone)
        return err;
    if (length == 4 && reply[1] == 4 && reply[2] == command) {
        *count = reply[3];
        return vErrNone;
    }
    return vErrUnknown;
}

vErr Module::_query(uint8_t sub, uint8_t command, uint8_t index, uint8_t *value)
{
    if (!value)
        return vErrParam;
    *value = 0;
    if (!isConnected())
        return vErrConnection;
    const uint8_t request[3] = {sub, command, index};
    uint8_t reply[vPACKET_MAX_DATA];
    uint8_t length = 0;
    vErr err = _capability(request, 3, 1, reply, &length);
    if (err != vErrNone)
        return err;
    if (length == 5 && reply[1] == sub && reply[2] == command && reply[3] == index) {
        *value = reply[4];
        return vErrNone;
    }
    return vErrUnknown;
}

vErr Module::subClassQuantity(uint8_t command, uint8_t index, uint8_t *count)
{
    return _query(5, command, index, count);
}

vErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t *group)
{
    return _query(6, command, index, group);
}

} // namespace Corvantis
} // namespace Velquire
