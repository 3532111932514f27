// The emulated USB bus: descriptors, and the control requests that read them.
#include "sim/usb/UsbBusPrivate.h"

#include "common/cvusb_driver.h"

#include <cstdio>

namespace cvsim {

namespace {

void Put16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}

}  // namespace

std::vector<uint8_t> UsbBus::Impl::Device_Descriptor(const Dev &d) {
    std::vector<uint8_t> v = {18, 1};
    Put16(v, 0x0200);
    v.insert(v.end(), {0, 0, 0, 64});
    Put16(v, d.opt.vendor_id ? d.opt.vendor_id : CVUSB_VENDOR_ID);
    Put16(v, d.opt.product_id ? d.opt.product_id : uint16_t(0x8000 | d.opt.model));
    Put16(v, 0x0100);
    v.insert(v.end(), {1, 2, 3, 1});
    return v;
}

std::vector<uint8_t> UsbBus::Impl::Config_Descriptor(const Dev &d) {
    std::vector<uint8_t> eps;
    auto ep = [&](uint8_t address) {
        eps.insert(eps.end(), {7, 5, address, 2});
        Put16(eps, d.opt.max_packet);
        eps.push_back(0);
    };
    if (!d.opt.no_out_endpoint)
        ep(0x01);
    if (!d.opt.no_in_endpoint)
        ep(0x81);
    uint8_t n = uint8_t(eps.size() / 7);
    std::vector<uint8_t> v = {9, 2};
    Put16(v, uint16_t(9 + 9 + eps.size()));
    v.insert(v.end(), {1, 1, 0, 0x80, 50});
    v.insert(v.end(), {9, 4, 0, 0, n, d.opt.interface_class, CVUSB_INTERFACE_SUBCLASS, CVUSB_INTERFACE_PROTOCOL, 0});
    v.insert(v.end(), eps.begin(), eps.end());
    return v;
}

std::string UsbBus::Impl::Serial_Text(const Dev &d) {
    if (!d.opt.serial_text.empty())
        return d.opt.serial_text;
    char b[16];
    snprintf(b, sizeof b, "%08X", d.serial);
    return b;
}

bool UsbBus::Impl::String_Descriptor(const Dev &d, uint8_t index, std::vector<uint8_t> &out) {
    out.clear();
    if (index == 0) {
        out = {4, 3, 0x09, 0x04};
        return true;
    }
    std::string s;
    if (index == 1)
        s = "Corvantis";
    else if (index == 2)
        s = d.opt.product_name;
    else if (index == 3)
        s = Serial_Text(d);
    else
        return false;
    if (s.size() > 126)
        s.resize(126);
    out.push_back(uint8_t(2 + 2 * s.size()));
    out.push_back(3);
    for (char c : s)
        Put16(out, uint8_t(c));
    return true;
}

void UsbBus::Impl::Control(Dev &d, Urb &u) {
    if (u.length < 8) {
        Finish(u, -EPIPE, nullptr, 0);
        return;
    }
    const uint8_t *s = u.buf->data;
    uint8_t type = s[0], request = s[1];
    uint16_t value = uint16_t(s[2] | s[3] << 8), wlength = uint16_t(s[6] | s[7] << 8);
    std::vector<uint8_t> answer;
    bool ok = false;
    if (type == 0x80 && request == 6) {
        uint8_t dtype = uint8_t(value >> 8), index = uint8_t(value);
        if (dtype == 3)
            ok = String_Descriptor(d, index, answer);
        else if (dtype == 1)
            answer = Device_Descriptor(d), ok = true;
        else if (dtype == 2 && index == 0)
            answer = Config_Descriptor(d), ok = true;
    }
    if (!ok) {
        Finish(u, -EPIPE, nullptr, 0);
        return;
    }
    int n = std::min<int>({int(answer.size()), int(wlength), u.length - 8});
    Finish(u, 0, answer.data(), n, 8);
}

}  // namespace cvsim
