// Link: construction, configuration and connecting: the link-engine link a
// Link owns, made directly, through a router's link, or found by discovery.
#include "device/LinkPrivate.h"

#include "common/cvusb_driver.h"
#include "common/vDefs.h"
#include "common/vDiscovery.h"
#include "common/vLink.h"
#include "common/vTime.h"

#include <cstring>
#include <mutex>
#include <string>

namespace Velquire {
namespace Corvantis {

namespace {

// Link creation is serialised process-wide.
std::mutex linkCreateHelperSerializer;

constexpr size_t kMaxName = 1024;

bool sIsVEther(uint32_t type)
{
    return type >= linkTypeClient && type <= linkTypeClientSerial;
}

struct ModelSearch {
    linkSpec *wanted;
};

int cbModelCallback(const linkSpec *spec, int *found, void *reference)
{
    ModelSearch *s = static_cast<ModelSearch *>(reference);
    if (s->wanted->modelNumber != 0 && s->wanted->modelNumber != spec->modelNumber)
        return 1;
    std::memcpy(s->wanted, spec, sizeof *spec);
    *found = 1;
    return 0;
}

bool _fallbackHelper(vErr result, uint32_t type, uint8_t fallback)
{
    if (result != vErrNotFound && result != vErrInitialization && result != vErrConnection)
        return false;
    if (!(type == linkTypeUSB || type == linkTypeTCPIP || sIsVEther(type)))
        return false;
    return fallback != 0;
}

} // namespace

// --- construction ----------------------------------------------------------

Link::Link(const linkSpec &spec, const char *name) : Link(name)
{
    setLinkSpecifier(spec);
}

Link::Link(const char *name) : m_impl(new impl(*this))
{
    if (name)
        m_impl->name.assign(name, strnlen(name, kMaxName));
}

Link::~Link()
{
    m_impl->clearStreams();
    // The logger's thread reads the link's packet log: it goes first.
    if (m_impl->packetLogger)
        vLogger_Destroy(&m_impl->packetLogger);
    if (m_impl->linkId)
        vLink_Destroy(&m_impl->linkId);
    vLinkSpec_Destroy(&m_impl->spec);
    delete m_impl;
}

// --- configuration ---------------------------------------------------------

vErr Link::getConfig(vEtherConfig *config) const
{
    if (!config)
        return vErrParam;
    *config = m_impl->config;
    return vErrNone;
}

vErr Link::setConfig(vEtherConfig config)
{
    if (isConnected())
        return vErrMode;
    m_impl->config = config;
    return vErrNone;
}

const char *Link::getName() const
{
    return m_impl->name.c_str();
}

vErr Link::getLinkSpecifier(linkSpec *spec) const
{
    if (!spec)
        return vErrParam;
    if (!m_impl->spec)
        return vErrNotFound;
    *spec = *m_impl->spec;
    return vErrNone;
}

vErr Link::setLinkSpecifier(linkSpec spec)
{
    if (isConnected())
        return vErrBusy;
    linkSpec *copy = vLinkSpec_Copy(&spec);
    if (!copy)
        return vErrMemory;
    vLinkSpec_Destroy(&m_impl->spec);
    m_impl->spec = copy;
    return vErrNone;
}

// --- connecting ------------------------------------------------------------

namespace {

// Creates the engine link for spec and stores its id in *linkId (0 when the
// engine made none). vErrNone whenever the type was valid and allowed.
vErr linkCreateHelper(const linkSpec &spec, vEtherConfig &config, uint32_t *linkId, bool *holdsUse)
{
    std::lock_guard<std::mutex> hold(linkCreateHelperSerializer);
    uint32_t type = spec.type;
    if (type < linkTypeUSB || type > linkTypeClientSerial)
        return vErrMode;
    if (sIsVEther(type)) {
        if (!config.enabled)
            return vErrConfiguration;
        vDefs_DebugPrintf(vDEBUG_LINK, "linkCreateHelper: client links through a link server are not available\n");
        return vErrUnimplemented;
    }
    uint32_t id = 0;
    switch (type) {
    case linkTypeUSB:
        id = vLink_CreateUSB(spec.serialNumber);
        break;
    case linkTypeTCPIP:
        id = vLink_CreateTCPIP(spec.serialNumber, spec.transport.ip.address, uint16_t(spec.transport.ip.port));
        break;
    case linkTypeSerial: {
        char port[sizeof spec.transport.serial.portName + 1] = {};
        std::memcpy(port, spec.transport.serial.portName, sizeof spec.transport.serial.portName);
        id = vLink_CreateSerial(spec.serialNumber, port, spec.transport.serial.baudRate);
        break;
    }
    }
    *linkId = id;
    *holdsUse = id != 0;
    if (id != 0 && config.enabled) {
        // Wrapping the link in a link server needs the server, which this
        // build does not have yet: give the link back and say so.
        vDefs_DebugPrintf(vDEBUG_LINK, "Creating Server: real_unit id: %d\n", int(id));
        vDefs_DebugPrintf(vDEBUG_LINK, "Failed to create server: link servers are not available\n");
        vLink_Destroy(linkId);
        *linkId = 0;
        *holdsUse = false;
        return vErrUnimplemented;
    }
    return vErrNone;
}

} // namespace

// Polls the status every 10 ms, up to count times.
static vErr waitForLink(uint32_t linkId, int count)
{
    int status = vLink_GetStatus(linkId);
    switch (status) {
    case linkStatusStopped:
    case linkStatusStarting:
    case linkStatusSyncing:
        for (int i = 0; i < count && status != linkStatusRunning; i++) {
            vTime_MSSleep(10);
            status = vLink_GetStatus(linkId);
        }
        return status == linkStatusRunning ? vErrNone : vErrConnection;
    case linkStatusInvalid:
    case linkStatusIOError:
    case linkStatusQueueError:
        return vErrConnection;
    case linkStatusRunning:
        return vErrNone;
    case linkStatusStopping:
        return vErrBusy;
    default:
        return vErrDuplicate;
    }
}

static vErr connectHelper(Link::impl *m)
{
    if (!m->spec)
        return vErrConfiguration;
    linkSpec spec = *m->spec;
    vErr err = linkCreateHelper(spec, m->config, &m->linkId, &m->holdsUse);
    if (err != vErrNone)
        return err;
    if (m->linkId == 0)
        return vErrConnection;
    return waitForLink(m->linkId, 200);
}

vErr Link::connect()
{
    if (m_impl->linkId != 0)
        return vErrConnection;
    return connectHelper(m_impl);
}

vErr Link::connectThroughLinkModule(Link &other)
{
    if (other.m_impl->linkId == 0)
        return vErrInitialization;
    if (m_impl->linkId != 0)
        return vErrConnection;
    m_impl->linkId = other.m_impl->linkId;
    m_impl->holdsUse = false;
    vErr err = connectHelper(m_impl);
    // A failed creation must not leave this Link naming the router's link:
    // its destruction would take a use that is not its own.
    if (!m_impl->holdsUse)
        m_impl->linkId = 0;
    return err;
}

static vErr discoveryAndConnectHelper(Link &link, Link::impl *m, uint32_t type, uint32_t serialNumber,
                                      uint8_t model)
{
    linkSpec *found = nullptr;
    if (serialNumber != 0) {
        found = vDiscovery_FindModule(type, serialNumber, m->config.networkInterface);
    } else {
        found = vLinkSpec_Create(type);
        if (!found)
            return vErrMemory;
        found->serialNumber = 0;
        found->moduleAddress = 0;
        found->routerAddress = 0;
        found->modelNumber = model;
        ModelSearch search = {found};
        if (vDiscovery_EnumerateModules(type, cbModelCallback, &search, m->config.networkInterface) == 0)
            vLinkSpec_Destroy(&found);
    }
    if (!found)
        return vErrNotFound;
    vErr err = link.setLinkSpecifier(*found);
    vLinkSpec_Destroy(&found);
    if (err != vErrNone)
        return err;
    return link.connect();
}

vErr Link::discoverAndConnect(uint32_t type, uint32_t serialNumber, uint8_t model)
{
    vErr err = discoveryAndConnectHelper(*this, m_impl, type, serialNumber, model);
    if (_fallbackHelper(err, type, m_impl->config.fallback)) {
        uint32_t next = (type == linkTypeUSB || type == linkTypeTCPIP) ? uint32_t(linkTypeClient) : uint32_t(linkTypeUSB);
        vDefs_DebugPrintf(vDEBUG_LINK, "Executing Fallback - old type: %d - new type: %d\n", int(type), int(next));
        err = discoveryAndConnectHelper(*this, m_impl, next, serialNumber, model);
    }
    return err;
}

bool Link::isConnected() const
{
    return m_impl->linkId != 0 && vLink_GetStatus(m_impl->linkId) == linkStatusRunning;
}

int Link::getStatus() const
{
    if (m_impl->linkId == 0)
        return linkStatusQueueError;
    return vLink_GetStatus(m_impl->linkId);
}

uint32_t Link::getLinkId() const
{
    return m_impl->linkId;
}

vErr Link::disconnect()
{
    if (m_impl->linkId) {
        m_impl->clearStreams();
        // A packet log belongs to the link it reads.
        if (m_impl->packetLogger)
            vLogger_Destroy(&m_impl->packetLogger);
        vLink_Destroy(&m_impl->linkId);
    }
    m_impl->linkId = 0;
    m_impl->holdsUse = false;
    return vErrNone;
}

vErr Link::reset()
{
    if (m_impl->linkId)
        vLink_Reset(m_impl->linkId);
    return vErrNone;
}

void Link::releaseUSBContext()
{
    Corvantis_libusb_exit();
}

vErr Link::enablePooledPackets(bool on)
{
    return vLink_EnablePooledPackets(m_impl->linkId, on);
}

} // namespace Corvantis
} // namespace Velquire
