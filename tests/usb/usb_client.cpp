// A small client of the device library for the tests that run it under
// corvantis-sim's bus, in a process of its own:
//   list            USB enumeration: "SERIAL MODEL" per module
//   open SERIAL     USB stream: the driver path and the result code name
//   echo SERIAL     USB link: a debug echo packet there and back
//   exit N          ends with status N
#include "common/cvusb_driver.h"
#include "common/vDiscovery.h"
#include "common/vError.h"
#include "common/vLink.h"
#include "common/vStreamUSB.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int sPrint(const linkSpec *spec, int *found, void *)
{
    printf("%08X %u\n", spec->serialNumber, spec->modelNumber);
    *found = 1;
    return 1;
}

int sEcho(uint32_t serial)
{
    uint32_t link = vLink_CreateUSB(serial);
    if (!link) {
        printf("no link\n");
        return 1;
    }
    const uint8_t data[3] = {23, 0x5A, 0xA5};
    vPacket *out = vPacket_CreateWithData(2, 3, data);
    vLink_PutPacket(link, out);
    vPacket_Destroy(&out);
    int rc = 1;
    for (int i = 0; i < 5 && rc; i++) {
        vPacket *in = vLink_AwaitPacket(link, 1000);
        if (!in)
            continue;
        uint8_t bytes[32];
        size_t n = 0;
        vPacket_GetBytes(in, bytes, sizeof bytes, &n);
        if (n == 5 && bytes[0] == 2 && memcmp(bytes + 2, data, 3) == 0)
            rc = 0;
        vPacket_Destroy(&in);
    }
    printf(rc ? "echo failed\n" : "echo ok\n");
    vLink_Destroy(&link);
    return rc;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    int rc = 2;
    if (!strcmp(argv[1], "list")) {
        vDiscovery_EnumerateUSBModules(sPrint, nullptr);
        rc = 0;
    } else if (!strcmp(argv[1], "open") && argc == 3) {
        uint32_t serial = uint32_t(strtoul(argv[2], nullptr, 16));
        vStream *s = nullptr;
        vErr r = vStream_CreateUSB(serial, &s);
        printf("%s %s\n", cvusb_is_kernel_driver_installed(serial) ? "kernel" : "libusb", vError_GetErrorText(r));
        vStream_Destroy(&s);
        rc = r == vErrNone ? 0 : 1;
    } else if (!strcmp(argv[1], "echo") && argc == 3) {
        rc = sEcho(uint32_t(strtoul(argv[2], nullptr, 16)));
    } else if (!strcmp(argv[1], "exit") && argc == 3) {
        return atoi(argv[2]);
    }
    Corvantis_libusb_exit();
    return rc;
}
