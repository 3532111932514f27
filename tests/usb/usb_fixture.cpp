#include "tests/usb/usb_fixture.h"

#include <fstream>
#include <iterator>
#include <string>

namespace usbtest {

namespace {

// Runs before main: the whole test binary must live under the preload
// library, so it re-executes itself once with the preload in place.
struct Reexec {
    Reexec()
    {
        if (cvsim::Usb_Preload_Active())
            return;
        std::ifstream f("/proc/self/cmdline", std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        static std::vector<std::string> args;
        size_t start = 0;
        for (size_t i = 0; i < all.size(); i++)
            if (all[i] == '\0') {
                args.push_back(all.substr(start, i - start));
                start = i + 1;
            }
        static std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        cvsim::Usb_Preload_Reexec(int(args.size()), argv.data());
    }
} gReexec;

} // namespace

cvsim::UsbBus &Bus()
{
    static cvsim::UsbBus bus;
    return bus;
}

cvsim::UsbDeviceModel::Effect EchoDevice::Out(const uint8_t *bytes, size_t count, std::vector<uint8_t> &in)
{
    Effect effect;
    for (size_t i = 0; i < count; i++) {
        have_.push_back(bytes[i]);
        if (have_.size() < 2 || have_.size() < size_t(2 + have_[1]))
            continue;
        packets_++;
        uint8_t addr = have_[0], len = have_[1];
        if (addr == 173 && len == 0) {
            in.push_back(address_);
            in.push_back(0);
        } else if (addr == address_ && len == 1 && have_[2] == 0xEE) {
            effect.kind = Effect::Rejoin;
            effect.away_ms = 300;
        } else if (addr == address_ && len == 1 && have_[2] == 0xDD) {
            effect.kind = Effect::Gone;
        } else if (addr != 175) {
            in.insert(in.end(), have_.begin(), have_.end());
        }
        have_.clear();
    }
    return effect;
}

cvsim::UsbDeviceOptions Good(uint32_t serial, uint8_t model)
{
    cvsim::UsbDeviceOptions o;
    o.serial = serial;
    o.model = model;
    return o;
}

} // namespace usbtest
