// Object-layer exchanges against corvantis-sim over TCP loopback, each beside
// the raw link exchange it is built on, measured in the same run:
//   - SystemClass::getUEI32 (the serial number) beside a vLink put/await of
//     the same request;
//   - a 1000-byte getUEIBytes beside 42 raw link round trips (the packets
//     the array takes).
#include "common/vLink.h"
#include "device/Entity.h"
#include "device/Module.h"
#include "tests/support/sim_process.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

using namespace Velquire::Corvantis;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kSerial = 0x00BE0C11;

bool isSerialReply(const vPacket *p, void *)
{
    return p->dataSize == 7 && p->data[0] == 3 && p->data[1] == 9;
}

// One raw exchange: the serial-number get, put and awaited on the link.
bool rawRoundTrip(uint32_t linkId)
{
    static const uint8_t request[3] = {3, 0x49, 0x20};
    vPacket *p = vPacket_CreateWithData(2, 3, request);
    vLink_PutPacket(linkId, p);
    vPacket_Destroy(&p);
    vPacket *reply = vLink_AwaitFirst(linkId, isSerialReply, nullptr, 1000);
    bool ok = reply != nullptr;
    vPacket_Destroy(&reply);
    return ok;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double usSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

void line(const char *name, double value, double floor)
{
    std::printf("BENCH %s %.1f us floor %.1f us ratio %.2f\n", name, value, floor, value / floor);
}

} // namespace

int main()
{
    fixtures::SimProcess sim;
    if (!sim.Start({"--device", "serial=0x00BE0C11"})) {
        std::fprintf(stderr, "bench_device: %s\n", sim.Error().c_str());
        return 1;
    }
    Module module(2, false, 0);
    vEtherConfig config;
    config.enabled = 0;
    module.setConfig(config);
    linkSpec spec;
    std::memset(&spec, 0, sizeof spec);
    spec.type = linkTypeTCPIP;
    spec.serialNumber = kSerial;
    spec.transport.ip.address = htonl(INADDR_LOOPBACK);
    spec.transport.ip.port = sim.Port("tcp:00BE0C11");
    if (module.connectFromSpec(spec) != vErrNone) {
        std::fprintf(stderr, "bench_device: cannot connect\n");
        return 1;
    }
    SystemClass system;
    system.init(&module, 0);
    uint32_t linkId = module.getLink()->getLinkId();

    // Warm up both paths.
    uint32_t serial = 0;
    for (int i = 0; i < 200; i++) {
        rawRoundTrip(linkId);
        system.getSerialNumber(&serial);
    }
    if (serial != kSerial) {
        std::fprintf(stderr, "bench_device: wrong serial number %08X\n", serial);
        return 1;
    }

    // Interleaved, so that both see the same machine.
    const int kRounds = 3000;
    std::vector<double> raw, obj;
    raw.reserve(kRounds);
    obj.reserve(kRounds);
    for (int i = 0; i < kRounds; i++) {
        Clock::time_point t0 = Clock::now();
        if (!rawRoundTrip(linkId))
            return 1;
        raw.push_back(usSince(t0));
        t0 = Clock::now();
        if (system.getUEI32(9, &serial) != vErrNone)
            return 1;
        obj.push_back(usSince(t0));
    }
    line("device_getuei32_p50_tcp", median(obj), median(raw));

    // A 1000-byte array: 250 32-bit values of the power-behaviour configuration.
    std::vector<uint32_t> values(250);
    for (size_t i = 0; i < values.size(); i++)
        values[i] = uint32_t(i * 2654435761u);
    if (system.setInputPowerBehaviorConfig(values.data(), uint32_t(values.size())) != vErrNone) {
        std::fprintf(stderr, "bench_device: cannot set the 1000-byte value\n");
        return 1;
    }
    const int kArrays = 200;
    std::vector<double> bytes, floor42;
    std::vector<uint8_t> buffer(1024);
    for (int i = 0; i < kArrays; i++) {
        Clock::time_point t0 = Clock::now();
        uint32_t count = 0;
        if (system.getUEIBytes(31, buffer.data(), uint32_t(buffer.size()), &count) != vErrNone || count != 1000)
            return 1;
        bytes.push_back(usSince(t0));
        t0 = Clock::now();
        for (int k = 0; k < 42; k++)
            if (!rawRoundTrip(linkId))
                return 1;
        floor42.push_back(usSince(t0));
    }
    line("device_getueibytes1000_p50_tcp", median(bytes), median(floor42));
    return 0;
}
