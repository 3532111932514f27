// The emulated USB bus: the test bed, where devices are plugged in and out,
// and the bus's public face.
#include "sim/usb/UsbBusPrivate.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace cvsim {

namespace {

std::string Hex(const std::vector<uint8_t> &v) {
    std::string s;
    char b[3];
    for (uint8_t x : v) {
        snprintf(b, sizeof b, "%02x", x);
        s += b;
    }
    return s;
}

}  // namespace

void UsbBus::Impl::Add_From_String(const std::string &text) {
    GError *err = nullptr;
    if (!umockdev_testbed_add_from_string(tb, text.c_str(), &err)) {
        std::string what = err ? err->message : "add failed";
        if (err)
            g_error_free(err);
        throw std::runtime_error("usb bus: " + what);
    }
}

// Plugs the device in at a fresh device number. Called without mu.
void UsbBus::Impl::Plug(Dev &d, uint32_t serial) {
    std::lock_guard<std::mutex> tbhold(tb_mu);
    int devnum;
    {
        std::lock_guard<std::mutex> hold(mu);
        if (d.present)
            return;
        if (serial)
            d.serial = serial;
        d.model->Set_Serial(d.serial);
        devnum = next_devnum++;
    }
    char node[64], sys[64];
    snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
    snprintf(sys, sizeof sys, "/devices/usb1/1-%d", d.port);
    std::vector<uint8_t> desc = Device_Descriptor(d), cfg = Config_Descriptor(d);
    desc.insert(desc.end(), cfg.begin(), cfg.end());
    Node *n = Attach(node, &d, false);
    char text[2048];
    snprintf(text, sizeof text,
             "P: %s\nN: bus/usb/001/%03d\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=%s\n"
             "E: BUSNUM=001\nE: DEVNUM=%03d\nA: busnum=1\nA: devnum=%d\nA: speed=480\n"
             "A: bConfigurationValue=1\nA: bNumConfigurations=1\nA: serial=%s\nH: descriptors=%s\n",
             sys, devnum, node, devnum, devnum, Serial_Text(d).c_str(), Hex(desc).c_str());
    Add_From_String(text);
    Node *kn = nullptr;
    std::string ksys;
    if (d.opt.kernel_node) {
        char kname[32], kpath[96];
        snprintf(kname, sizeof kname, "corvantis.%08X", d.serial);
        snprintf(kpath, sizeof kpath, "/dev/%s", kname);
        bool made = d.knodes_made.count(kpath) > 0;
        if (made)
            rename((root + kpath + ".away").c_str(), (root + kpath).c_str());
        kn = Attach(kpath, &d, true);
        ksys = std::string("/devices/virtual/corvantis/") + kname;
        std::string ktext = "P: " + ksys + (made ? std::string() : "\nN: " + std::string(kname)) +
                            "\nE: SUBSYSTEM=corvantis\nE: DEVNAME=" + kpath + "\n";
        d.knodes_made.insert(kpath);
        Add_From_String(ktext);
    }
    std::lock_guard<std::mutex> hold(mu);
    d.devnum = devnum;
    d.syspath = std::string("/sys") + sys;
    d.kernel_syspath = ksys.empty() ? "" : "/sys" + ksys;
    d.usb = n;
    d.knode = kn;
    d.present = true;
    d.owner = nullptr;
    d.in_bytes.clear();
    d.in_halted = d.out_halted = false;
    Schedule_Tick(d);
}

void UsbBus::Impl::Leave(int id) {
    std::lock_guard<std::mutex> tbhold(tb_mu);
    std::string sys, ksys, knode;
    {
        std::lock_guard<std::mutex> hold(mu);
        Dev &d = *devs[size_t(id)];
        if (!d.present)
            return;
        d.leave.pending = false;
        d.present = false;
        d.owner = nullptr;
        d.in_bytes.clear();
        d.tick_gen++;
        for (Node *n : {d.usb, d.knode}) {
            if (!n)
                continue;
            n->dev = nullptr;
            for (auto &kv : n->clients) {
                Client &c = *kv.second;
                while (!c.pending_in.empty()) {
                    Urb u = c.pending_in.front();
                    c.pending_in.pop_front();
                    Finish(u, -ESHUTDOWN, nullptr, 0);
                    c.done.push_back(u);
                }
                if (c.held && c.held_read) {
                    Reply(c.held, -1, ENODEV);
                    Drop_Held(c);
                } else if (c.held && !Hand_Over(c, c.held, c.held_arg)) {
                    Reply(c.held, -1, ENODEV);
                    Drop_Held(c);
                } else if (c.held) {
                    Drop_Held(c);
                }
            }
        }
        sys = d.syspath;
        ksys = d.kernel_syspath;
        knode = d.knode ? d.knode->devnode : "";
        d.usb = d.knode = nullptr;
    }
    if (!ksys.empty()) {
        umockdev_testbed_uevent(tb, ksys.c_str(), "remove");
        umockdev_testbed_remove_device(tb, ksys.c_str());
        umockdev_testbed_detach_ioctl(tb, knode.c_str(), nullptr);
        // Put aside, not removed: the test bed makes a node's file only
        // once, so a rejoin puts this one back.
        rename((root + knode).c_str(), (root + knode + ".away").c_str());
    }
    umockdev_testbed_uevent(tb, sys.c_str(), "remove");
    umockdev_testbed_remove_device(tb, sys.c_str());
}

void UsbBus::Impl::Rejoin(int id, uint32_t serial) {
    Dev *d;
    {
        std::lock_guard<std::mutex> hold(mu);
        d = devs[size_t(id)].get();
    }
    Plug(*d, serial);
}

UsbBus::UsbBus() : impl_(std::make_unique<Impl>()) {
    if (!Usb_Preload_Active())
        throw std::runtime_error("usb bus: the process does not run under libumockdev-preload");
    Impl &b = *impl_;
    b.tb = umockdev_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(b.tb);
    b.root = root;
    g_free(root);
    // The root hub keeps /sys/bus/usb/devices alive when the last device leaves.
    std::vector<uint8_t> hub = {18, 1, 0, 2, 9, 0, 1, 64, 0x6b, 0x1d, 2, 0, 0, 1, 3, 2, 1, 1,
                                9,  2, 25, 0, 1, 1, 0, 0xe0, 0, 9, 4, 0, 0, 1, 9, 0, 0, 0,
                                7,  5, 0x81, 3, 4, 0, 12};
    b.Attach("/dev/bus/usb/001/001", nullptr, false);
    b.Add_From_String("P: /devices/usb1\nN: bus/usb/001/001\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
                      "E: DEVNAME=/dev/bus/usb/001/001\nE: BUSNUM=001\nE: DEVNUM=001\nA: busnum=1\nA: devnum=1\n"
                      "A: speed=480\nA: bConfigurationValue=1\nA: bNumConfigurations=1\nH: descriptors=" +
                      Hex(hub) + "\n");
    b.timer_thread = std::thread([this] { impl_->Timer_Loop(); });
}

UsbBus::~UsbBus() {
    Impl &b = *impl_;
    {
        std::lock_guard<std::mutex> hold(b.timer_mu);
        b.stopping = true;
    }
    b.timer_cv.notify_one();
    b.timer_thread.join();
    {
        std::lock_guard<std::mutex> hold(b.mu);
        for (auto &n : b.nodes) {
            n->dev = nullptr;
            for (auto &kv : n->clients) {
                Client &c = *kv.second;
                if (c.held) {
                    Impl::Reply(c.held, -1, ENODEV);
                    b.Drop_Held(c);
                }
                for (Urb &u : c.pending_in)
                    Impl::Release(u);
                for (Urb &u : c.done)
                    Impl::Release(u);
                g_object_unref(c.client);
            }
            n->clients.clear();
        }
    }
    for (auto &n : b.nodes)
        g_signal_handlers_disconnect_matched(n->handler, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, n.get());
    g_object_unref(b.tb);
    for (auto &n : b.nodes)
        g_object_unref(n->handler);
}

int UsbBus::Add(const UsbDeviceOptions &options, std::unique_ptr<UsbDeviceModel> model) {
    Impl &b = *impl_;
    Dev *d;
    {
        std::lock_guard<std::mutex> hold(b.mu);
        auto dev = std::make_unique<Dev>();
        dev->id = int(b.devs.size());
        dev->port = dev->id + 1;
        dev->opt = options;
        dev->serial = options.serial;
        dev->model = std::move(model);
        d = dev.get();
        b.devs.push_back(std::move(dev));
    }
    b.Plug(*d, 0);
    return d->id;
}

void UsbBus::Leave(int id) { impl_->Leave(id); }
void UsbBus::Rejoin(int id, uint32_t serial) { impl_->Rejoin(id, serial); }

bool UsbBus::Present(int id) const {
    std::lock_guard<std::mutex> hold(impl_->mu);
    return impl_->devs[size_t(id)]->present;
}

std::string UsbBus::Devnode(int id) const {
    std::lock_guard<std::mutex> hold(impl_->mu);
    const Dev &d = *impl_->devs[size_t(id)];
    return d.present && d.usb ? d.usb->devnode : std::string();
}

void UsbBus::Set_In_Use(int id, bool held) {
    std::lock_guard<std::mutex> hold(impl_->mu);
    impl_->devs[size_t(id)]->in_use = held;
}

void UsbBus::Fail(int id, UsbFault fault, uint32_t count) {
    std::lock_guard<std::mutex> hold(impl_->mu);
    Dev::FaultCount &fc = impl_->devs[size_t(id)]->faults[int(fault)];
    fc.armed = true;
    fc.left = count;
}

void UsbBus::Clear_Faults(int id) {
    std::lock_guard<std::mutex> hold(impl_->mu);
    Dev &d = *impl_->devs[size_t(id)];
    for (auto &fc : d.faults)
        fc = Dev::FaultCount{};
    d.in_halted = d.out_halted = false;
}

std::string UsbBus::Root_Dir() const { return impl_->root; }

std::vector<std::pair<std::string, std::string>> UsbBus::Client_Env() const {
    return {{"UMOCKDEV_DIR", impl_->root}, {"LD_PRELOAD", "libumockdev-preload.so.0"}};
}

UsbBus::Stats UsbBus::Device_Stats(int id) const {
    std::lock_guard<std::mutex> hold(impl_->mu);
    return impl_->devs[size_t(id)]->stats;
}

void UsbBus::Inspect(int id, const std::function<void(const UsbDeviceModel &, const Presence &)> &fn) const {
    std::lock_guard<std::mutex> hold(impl_->mu);
    const Dev &d = *impl_->devs[size_t(id)];
    Presence p;
    p.present = d.present;
    p.claimed = d.owner != nullptr;
    p.devnode = d.present && d.usb ? d.usb->devnode : std::string();
    fn(*d.model, p);
}

bool Usb_Preload_Active() {
    // Loaded already (by LD_PRELOAD) or not at all: RTLD_NOLOAD never loads it.
    void *h = dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (h)
        dlclose(h);
    return h != nullptr;
}

void Usb_Preload_Reexec(int argc, char **argv) {
    (void)argc;
    if (Usb_Preload_Active())
        return;
    if (getenv("CORVANTIS_USB_REEXEC")) {
        fprintf(stderr, "usb bus: libumockdev-preload.so.0 could not be preloaded\n");
        exit(1);
    }
    setenv("CORVANTIS_USB_REEXEC", "1", 1);
    std::string preload = "libumockdev-preload.so.0";
    if (const char *old = getenv("LD_PRELOAD"))
        if (*old)
            preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    // A sanitizer runtime would otherwise refuse to start behind the preload.
    std::string asan = "verify_asan_link_order=0";
    if (const char *old = getenv("ASAN_OPTIONS"))
        if (*old)
            asan = std::string(old) + ":" + asan;
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    execv("/proc/self/exe", argv);
    fprintf(stderr, "usb bus: re-exec failed: %s\n", strerror(errno));
    exit(1);
}

}  // namespace cvsim
