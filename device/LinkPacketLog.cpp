// Link: the packet log, written to a file by a logger thread from the
// link engine's packet-debug ring.
#include "device/LinkPrivate.h"

#include "common/vLink.h"
#include "common/vTime.h"

#include <cstdio>
#include <string>

namespace Velquire {
namespace Corvantis {

namespace {

// The logger's writer: one packet-log record per call.
vErr readDebugBuffer(vFile *file, uint32_t linkId)
{
    uint8_t direction = 0;
    uint8_t bytes[64];
    uint32_t length = sizeof bytes;
    vErr err = vLink_PacketDebug_Read(linkId, &direction, &length, bytes);
    if (err == vErrNone) {
        std::string line = std::to_string(length) + (direction == vLinkLogSent ? " > " : " < ");
        char hex[8];
        for (uint32_t i = 0; i < length; i++) {
            if (direction == vLinkLogMarker) {
                line.push_back(char(bytes[i]));
            } else {
                std::snprintf(hex, sizeof hex, "0x%X ", bytes[i]);
                line += hex;
            }
        }
        line += "\r\n";
        size_t written = 0;
        vFile_Write(file, line.data(), line.size(), &written);
    } else {
        // Nothing to write (or the link went away): wait a little.
        vTime_MSSleep(5);
    }
    return err;
}

} // namespace

vErr Link::enablePacketLog(const char *fileName)
{
    if (m_impl->linkId == 0)
        return vErrConfiguration;
    vErr err = vLink_PacketDebug_Enable(m_impl->linkId);
    if (err != vErrNone)
        return err;
    if (!m_impl->packetLogger) {
        m_impl->packetLogger = vLogger_Create(m_impl->linkId, readDebugBuffer, fileName);
        if (!m_impl->packetLogger)
            return vErrResource;
    }
    err = vLogger_Enable(m_impl->packetLogger);
    if (err == vErrNone) {
        static const char start[6] = "START";
        vLink_PacketDebug_Write(m_impl->linkId, vLinkLogMarker, sizeof start,
                                reinterpret_cast<const uint8_t *>(start));
    }
    return err;
}

vErr Link::disablePacketLog()
{
    if (m_impl->linkId == 0)
        return vErrConfiguration;
    vLink_PacketDebug_Disable(m_impl->linkId);
    if (!m_impl->packetLogger)
        return vErrNone;
    return vLogger_Disable(m_impl->packetLogger);
}

} // namespace Corvantis
} // namespace Velquire
