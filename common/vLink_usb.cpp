// USB device links: created over the USB stream, synchronised before use, and
// rebuilt by vLink_Reset through the registered stream maker.
#include "common/vLink.h"
#include "common/vLinkPrivate.h"
#include "common/vLinkSpecifier.h"
#include "common/vStreamUSB.h"

#include <mutex>

namespace {

vErr sUsbStream(uint32_t serialNumber, uint32_t, uint32_t, vStream **stream)
{
    return vStream_CreateUSB(serialNumber, stream);
}

vErr sOpenUsb(void *context, vStream **stream)
{
    return vStream_CreateUSB(*static_cast<const uint32_t *>(context), stream);
}

} // namespace

uint32_t vLink_CreateUSB(uint32_t serialNumber)
{
    static std::once_flag registered;
    std::call_once(registered, [] { vLink_RegisterStreamMaker(linkTypeUSB, sUsbStream); });
    vLinkDeviceRequest request{serialNumber, 0, 0, linkTypeUSB, true, true, true, sOpenUsb, &serialNumber};
    return vLink_CreateDeviceLink(&request);
}
