// Host bytes into a simulated router network: the first byte picks the
// framing (bit 0: COBS) and the rest is the byte stream. Every packet is
// handled and every reply framed, as the simulator does on a live link.
#include "sim/SimNetwork.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>

namespace {

cvsim::DeviceConfig _network() {
    cvsim::DeviceConfig root;
    root.serial = 0x1234ABCD;
    root.address = 2;
    root.router = true;
    root.block_size = 64;
    root.name = "fuzzed router";
    root.faults.drop_reply = {{1, {3, 2}}};
    root.faults.sum_wrong = {2, 1};
    root.faults.garbage_every = 5;
    cvsim::DeviceConfig child;
    child.serial = 0x10;
    child.address = 0x10;
    child.faults.data_wrong_count = {4, 0};
    child.faults.prepare_reject = {3, 1};
    root.children = {child};
    return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    cvsim::Network net(_network());
    std::vector<cvsim::Inbound> in;
    if (data[0] & 1) {
        cvsim::CobsReader r;
        r.Feed(data + 1, size - 1, in);
    } else {
        cvsim::RawReader r;
        r.Feed(data + 1, size - 1, in);
    }
    auto now = cvsim::Clock::now();
    for (const cvsim::Inbound &p : in) {
        cvsim::NetOut out;
        net.Handle(p, now, out);
        for (const auto &r : out.replies) {
            r.from->Count_Reply();
            if (r.packet.length > cvsim::kMaxData || cvsim::Cobs_Frame(r.packet).size() < 4)
                __builtin_trap();
        }
    }
    for (const auto &d : net.Devices()) {
        (void)cvsim::Json_Text(d->Status(now));
        (void)cvsim::Json_Text(d->Dump());
    }
    return 0;
}
