// Link specifiers as link servers send them (local discovery replies and
// beacon contents): whatever arrives, a spec is accepted only at exactly 128
// bytes, keeps every byte but the last, and its text part always ends. The
// accepted copy then goes through the copy and release the caller uses.
#include "common/vDiscovery.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    linkSpec spec;
    vErr err = vDiscovery_ParseLinkSpec(data, size, &spec);
    if (size != sizeof(linkSpec)) {
        if (err != (data ? vErrSize : vErrParam))
            abort();
        return 0;
    }
    if (err != vErrNone)
        abort();
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&spec);
    if (memcmp(bytes, data, sizeof spec - 1) != 0 || bytes[sizeof spec - 1] != 0)
        abort();
    // A served serial link's port name is read as text.
    if (strnlen(spec.transport.serial.portName, sizeof spec.transport.serial.portName) >=
        sizeof spec.transport.serial.portName)
        abort();
    linkSpec *copy = vLinkSpec_Copy(&spec);
    if (!copy || memcmp(copy, &spec, sizeof spec) != 0)
        abort();
    vLinkSpec_Destroy(&copy);
    return 0;
}
