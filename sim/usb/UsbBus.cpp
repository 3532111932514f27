// The emulated USB bus: umockdev test bed, usbfs ioctl answers, kernel node
// reads and writes, and the timers that pace them.
#include "sim/usb/UsbBus.h"

#include "common/cvusb_driver.h"

#include <umockdev.h>

#include <dlfcn.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace cvsim {

namespace {

using Clock = std::chrono::steady_clock;

// libusb re-reaps at once because poll() on an emulated node never blocks:
// an empty reap while a URB is in flight is answered only after this pause,
// or as soon as any URB completes, which keeps both processes nearly idle
// between transfers. It bounds how late libusb sees its own time-outs.
constexpr auto kReapHold = std::chrono::milliseconds(10);
// A kernel node read with nothing to deliver returns 0 bytes after this.
constexpr auto kNodeReadHold = std::chrono::milliseconds(100);
// How long a restarting device waits for the host to take its last answer.
constexpr auto kLeaveGrace = std::chrono::milliseconds(50);

void Put16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}

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

struct Urb {
    UMockdevIoctlData *urb = nullptr;  // the client's struct usbdevfs_urb
    UMockdevIoctlData *buf = nullptr;  // its buffer
    uint8_t type = 0, endpoint = 0;
    int length = 0;
};

struct Node;
struct Dev;

struct Client {
    UMockdevIoctlClient *client = nullptr;
    Node *node = nullptr;
    std::deque<Urb> pending_in;  // bulk IN URBs waiting for device bytes
    std::deque<Urb> done;        // completed, not yet reaped
    // A reap (or kernel node read) answered later; holds references.
    UMockdevIoctlClient *held = nullptr;
    UMockdevIoctlData *held_arg = nullptr;
    uint64_t held_gen = 0;
    bool held_read = false;
    // The last reap handed over a URB: the next empty one is libusb draining
    // its completions, answered at once so a transfer split into chunks does
    // not pause between them.
    bool just_handed = false;
};

struct Node {
    std::string devnode;
    UMockdevIoctlBase *handler = nullptr;
    Dev *dev = nullptr;  // null once the device left
    bool kernel = false;
    std::map<UMockdevIoctlClient *, std::unique_ptr<Client>> clients;
    UsbBus::Impl *bus = nullptr;
};

struct Dev {
    int id = 0;
    UsbDeviceOptions opt;
    std::unique_ptr<UsbDeviceModel> model;
    uint32_t serial = 0;
    bool present = false;
    int port = 0, devnum = 0;
    std::string syspath, kernel_syspath;
    std::set<std::string> knodes_made;  // kernel nodes whose file the test bed has made
    Node *usb = nullptr, *knode = nullptr;
    std::deque<uint8_t> in_bytes;
    Client *owner = nullptr;  // the claiming client (or kernel node reader)
    bool in_use = false;
    bool out_halted = false, in_halted = false;
    struct FaultCount {
        bool armed = false;
        uint32_t left = 0;  // 0 with armed: endless
    } faults[4];
    UsbBus::Stats stats;
    uint64_t tick_gen = 0;
    struct PendingLeave {
        bool pending = false;  // the model restarts: off the bus once its answer is taken
        bool rejoin = false;
        uint32_t away_ms = 0;
        uint64_t gen = 0;
    } leave;
};

struct UsbBus::Impl {
    UMockdevTestbed *tb = nullptr;
    std::string root;
    mutable std::mutex mu;
    std::mutex tb_mu;  // test bed changes, never taken with mu held
    std::vector<std::unique_ptr<Dev>> devs;
    std::vector<std::unique_ptr<Node>> nodes;
    int next_devnum = 2;
    uint64_t gen = 1;

    // Timers, run on their own thread without mu held.
    std::thread timer_thread;
    std::condition_variable timer_cv;
    std::mutex timer_mu;
    std::multimap<Clock::time_point, std::function<void()>> timers;
    bool stopping = false;

    void At(Clock::time_point when, std::function<void()> fn) {
        {
            std::lock_guard<std::mutex> hold(timer_mu);
            timers.emplace(when, std::move(fn));
        }
        timer_cv.notify_one();
    }
    void Timer_Loop() {
        std::unique_lock<std::mutex> lock(timer_mu);
        while (!stopping) {
            if (timers.empty()) {
                timer_cv.wait(lock);
                continue;
            }
            auto first = timers.begin();
            if (Clock::now() < first->first) {
                timer_cv.wait_until(lock, first->first);
                continue;
            }
            std::function<void()> fn = std::move(first->second);
            timers.erase(first);
            lock.unlock();
            fn();
            lock.lock();
        }
    }

    // ---- descriptors ----
    static std::vector<uint8_t> Device_Descriptor(const Dev &d) {
        std::vector<uint8_t> v = {18, 1};
        Put16(v, 0x0200);
        v.insert(v.end(), {0, 0, 0, 64});
        Put16(v, d.opt.vendor_id ? d.opt.vendor_id : CVUSB_VENDOR_ID);
        Put16(v, d.opt.product_id ? d.opt.product_id : uint16_t(0x8000 | d.opt.model));
        Put16(v, 0x0100);
        v.insert(v.end(), {1, 2, 3, 1});
        return v;
    }
    static std::vector<uint8_t> Config_Descriptor(const Dev &d) {
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
    static std::string Serial_Text(const Dev &d) {
        if (!d.opt.serial_text.empty())
            return d.opt.serial_text;
        char b[16];
        snprintf(b, sizeof b, "%08X", d.serial);
        return b;
    }
    static bool String_Descriptor(const Dev &d, uint8_t index, std::vector<uint8_t> &out) {
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

    // ---- URB completion ----
    static void Finish(Urb &u, int status, const uint8_t *bytes, int count, int offset = 0) {
        auto *urb = reinterpret_cast<usbdevfs_urb *>(u.urb->data);
        if (count > 0 && u.buf)
            memcpy(u.buf->data + offset, bytes, size_t(count));
        urb->status = status;
        urb->actual_length = count > 0 ? count : 0;
    }
    static void Release(Urb &u) {
        if (u.buf)
            g_object_unref(u.buf);
        if (u.urb)
            g_object_unref(u.urb);
        u.buf = u.urb = nullptr;
    }
    void Drop_Held(Client &c) {
        if (c.held_arg)
            g_object_unref(c.held_arg);
        if (c.held)
            g_object_unref(c.held);
        c.held = nullptr;
        c.held_arg = nullptr;
        c.held_read = false;
    }
    // Hands the oldest completed URB to a client's reap (reap is the resolved
    // pointer the client passed). Returns false when none is done.
    bool Hand_Over(Client &c, UMockdevIoctlClient *client, UMockdevIoctlData *reap) {
        if (c.done.empty())
            return false;
        Urb u = c.done.front();
        c.done.pop_front();
        umockdev_ioctl_data_set_ptr(reap, 0, u.urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        Release(u);
        c.just_handed = true;
        return true;
    }
    void Complete_Held_Reap(Client &c) {
        if (!c.held || c.held_read)
            return;
        if (Hand_Over(c, c.held, c.held_arg))
            Drop_Held(c);
    }
    void Done(Client &c, Urb &u) {
        c.done.push_back(u);
        Complete_Held_Reap(c);
        // The client's process may be holding its event loop in another
        // device's held reap: let those go, so that this URB is reaped now.
        for (auto &n : nodes)
            for (auto &kv : n->clients) {
                Client &other = *kv.second;
                if (&other != &c && other.held && !other.held_read) {
                    Reply(other.held, -1, EAGAIN);
                    Drop_Held(other);
                }
            }
    }

    bool Take_Fault(Dev &d, UsbFault f) {
        Dev::FaultCount &fc = d.faults[int(f)];
        if (!fc.armed)
            return false;
        if (fc.left > 0 && --fc.left == 0)
            fc.armed = false;
        return true;
    }

    // Moves device bytes into the owner's waiting IN URBs or held node read;
    // a device about to leave the bus goes once they are taken.
    void Pump(Dev &d) {
        Pump_Bytes(d);
        if (d.leave.pending && d.in_bytes.empty())
            Leave_Now(d);
    }
    void Pump_Bytes(Dev &d) {
        Client *c = d.owner;
        if (!c || d.in_bytes.empty())
            return;
        if (c->node->kernel) {
            if (!c->held || !c->held_read)
                return;
            int n = std::min<int>(c->held_arg->data_len, int(d.in_bytes.size()));
            for (int i = 0; i < n; i++) {
                c->held_arg->data[i] = d.in_bytes.front();
                d.in_bytes.pop_front();
            }
            d.stats.in_bytes += uint64_t(n);
            umockdev_ioctl_client_complete(c->held, n, 0);
            Drop_Held(*c);
            return;
        }
        while (!c->pending_in.empty() && !d.in_bytes.empty()) {
            Urb u = c->pending_in.front();
            c->pending_in.pop_front();
            int n = std::min<int>(u.length, int(d.in_bytes.size()));
            std::vector<uint8_t> chunk(d.in_bytes.begin(), d.in_bytes.begin() + n);
            d.in_bytes.erase(d.in_bytes.begin(), d.in_bytes.begin() + n);
            Finish(u, 0, chunk.data(), n);
            d.stats.in_bytes += uint64_t(n);
            Done(*c, u);
        }
    }

    // A device that restarts still sends the answer it gave before: it
    // leaves the bus once the host has taken those bytes, or after
    // kLeaveGrace when nobody reads them.
    void Model_Effect(Dev &d, UsbDeviceModel::Effect e) {
        if (e.kind == UsbDeviceModel::Effect::Keep)
            return;
        d.leave.pending = true;
        d.leave.rejoin = e.kind == UsbDeviceModel::Effect::Rejoin;
        d.leave.away_ms = e.away_ms;
        uint64_t g = ++d.leave.gen;
        if (d.in_bytes.empty()) {
            Leave_Now(d);
            return;
        }
        int id = d.id;
        At(Clock::now() + kLeaveGrace, [this, id, g] {
            std::lock_guard<std::mutex> hold(mu);
            Dev &dd = *devs[size_t(id)];
            if (dd.leave.pending && dd.leave.gen == g)
                Leave_Now(dd);
        });
    }

    // Called with mu held; the test bed is changed off the handler thread.
    void Leave_Now(Dev &d) {
        d.leave.pending = false;
        int id = d.id;
        uint32_t serial = d.opt.rejoin_serial;
        bool rejoin = d.leave.rejoin;
        uint32_t away = d.leave.away_ms;
        At(Clock::now(), [this, id, rejoin, away, serial] {
            Leave(id);
            if (rejoin)
                At(Clock::now() + std::chrono::milliseconds(away), [this, id, serial] { Rejoin(id, serial); });
        });
    }

    void Host_Bytes(Dev &d, const uint8_t *bytes, size_t n) {
        std::vector<uint8_t> in;
        UsbDeviceModel::Effect e = d.model->Out(bytes, n, in);
        d.in_bytes.insert(d.in_bytes.end(), in.begin(), in.end());
        Pump(d);
        Model_Effect(d, e);
    }

    void Schedule_Tick(Dev &d) {
        uint32_t ms = d.model->Tick_Ms();
        if (!ms)
            return;
        uint64_t g = ++d.tick_gen;
        int id = d.id;
        At(Clock::now() + std::chrono::milliseconds(ms), [this, id, g] {
            std::lock_guard<std::mutex> hold(mu);
            Dev &dd = *devs[size_t(id)];
            if (dd.tick_gen != g || !dd.present)
                return;
            if (dd.owner) {
                std::vector<uint8_t> in;
                dd.model->Tick(in);
                dd.in_bytes.insert(dd.in_bytes.end(), in.begin(), in.end());
                Pump(dd);
            }
            Schedule_Tick(dd);
        });
    }

    // ---- ioctls ----
    static UMockdevIoctlData *Resolve(UMockdevIoctlData *d, size_t offset, size_t len) {
        GError *err = nullptr;
        UMockdevIoctlData *r = umockdev_ioctl_data_resolve(d, offset, len, &err);
        if (err)
            g_error_free(err);
        return r;
    }
    static void Reply(UMockdevIoctlClient *client, long res, int err) {
        umockdev_ioctl_client_complete(client, res, err);
    }

    // The vanished signal does not always come; a client whose connection is
    // gone is found out when another one arrives or claims.
    void Forget_Dead(Node &n) {
        std::vector<UMockdevIoctlClient *> dead;
        for (auto &kv : n.clients)
            if (!umockdev_ioctl_client_get_connected(kv.first))
                dead.push_back(kv.first);
        for (UMockdevIoctlClient *c : dead)
            Forget(n, c);
    }

    Client &Client_Of(Node &n, UMockdevIoctlClient *client) {
        auto it = n.clients.find(client);
        if (it == n.clients.end()) {
            auto c = std::make_unique<Client>();
            // Kept alive while we know it: its liveness is asked later.
            g_object_ref(client);
            c->client = client;
            c->node = &n;
            it = n.clients.emplace(client, std::move(c)).first;
        }
        return *it->second;
    }

    void Submit(Node &n, Client &c, UMockdevIoctlClient *client) {
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        Urb u;
        u.urb = Resolve(arg, 0, sizeof(usbdevfs_urb));
        if (!u.urb)
            return Reply(client, -1, EFAULT);
        auto *urb = reinterpret_cast<usbdevfs_urb *>(u.urb->data);
        u.type = urb->type;
        u.endpoint = urb->endpoint;
        u.length = urb->buffer_length;
        if (u.length < 0) {
            Release(u);
            return Reply(client, -1, EINVAL);
        }
        if (u.length > 0) {
            u.buf = Resolve(u.urb, offsetof(usbdevfs_urb, buffer), size_t(u.length));
            if (!u.buf) {
                Release(u);
                return Reply(client, -1, EFAULT);
            }
        }
        Dev *d = n.dev;
        if (!d) {
            Release(u);
            return Reply(client, -1, ENODEV);
        }
        if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
            d->stats.control_urbs++;
            Reply(client, 0, 0);
            Control(*d, u);
            return Done(c, u);
        }
        if (u.type != USBDEVFS_URB_TYPE_BULK || (u.endpoint & 0x7F) != 1 ||
            ((u.endpoint & 0x80) ? d->opt.no_in_endpoint : d->opt.no_out_endpoint)) {
            Release(u);
            return Reply(client, -1, ENOENT);
        }
        if (d->owner != &c) {
            Release(u);
            return Reply(client, -1, EINVAL);  // interface not claimed
        }
        Reply(client, 0, 0);
        if (u.endpoint & 0x80) {
            d->stats.in_urbs++;
            bool io = Take_Fault(*d, UsbFault::IoIn);
            if (!io && Take_Fault(*d, UsbFault::StallIn))
                d->in_halted = true;
            if (io || d->in_halted) {
                Finish(u, io ? -EPROTO : -EPIPE, nullptr, 0);
                return Done(c, u);
            }
            c.pending_in.push_back(u);
            return Pump(*d);
        }
        d->stats.out_urbs++;
        d->stats.out_sizes.push_back(uint32_t(u.length));
        if (d->stats.out_sizes.size() > 64)
            d->stats.out_sizes.erase(d->stats.out_sizes.begin());
        bool io = Take_Fault(*d, UsbFault::IoOut);
        if (!io && Take_Fault(*d, UsbFault::StallOut))
            d->out_halted = true;
        if (io || d->out_halted) {
            Finish(u, io ? -EPROTO : -EPIPE, nullptr, 0);
            return Done(c, u);
        }
        std::vector<uint8_t> bytes(u.buf ? u.buf->data : nullptr, u.buf ? u.buf->data + u.length : nullptr);
        d->stats.out_bytes += bytes.size();
        Finish(u, 0, nullptr, 0);
        reinterpret_cast<usbdevfs_urb *>(u.urb->data)->actual_length = u.length;
        Done(c, u);
        Host_Bytes(*d, bytes.data(), bytes.size());
    }

    void Control(Dev &d, Urb &u) {
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

    void Reap(Client &c, UMockdevIoctlClient *client, bool wait) {
        UMockdevIoctlData *reap = Resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void *));
        if (!reap)
            return Reply(client, -1, EFAULT);
        if (Hand_Over(c, client, reap)) {
            g_object_unref(reap);
            return;
        }
        if (!c.node->dev && c.pending_in.empty()) {
            g_object_unref(reap);
            return Reply(client, -1, ENODEV);
        }
        if (c.pending_in.empty()) {
            // Nothing in flight can complete: no reason to make it wait.
            g_object_unref(reap);
            return Reply(client, -1, EAGAIN);
        }
        if (c.held) {  // cannot happen: a client waits for its answer
            g_object_unref(reap);
            return Reply(client, -1, EAGAIN);
        }
        if (!wait && c.just_handed) {
            c.just_handed = false;
            g_object_unref(reap);
            return Reply(client, -1, EAGAIN);
        }
        c.held = client;
        g_object_ref(client);
        c.held_arg = reap;
        c.held_read = false;
        uint64_t g = c.held_gen = ++gen;
        if (c.node->dev)
            c.node->dev->stats.reaps_held++;
        if (wait)
            return;  // until a URB completes
        Node *n = c.node;
        At(Clock::now() + kReapHold, [this, n, client, g] {
            std::lock_guard<std::mutex> hold(mu);
            auto it = n->clients.find(client);
            if (it == n->clients.end())
                return;
            Client &cc = *it->second;
            if (cc.held == client && cc.held_gen == g && !cc.held_read) {
                Reply(client, -1, EAGAIN);
                Drop_Held(cc);
            }
        });
    }

    void Discard(Client &c, UMockdevIoctlClient *client) {
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        unsigned long addr = 0;
        memcpy(&addr, arg->data, std::min<size_t>(sizeof addr, size_t(arg->data_len)));
        for (auto it = c.pending_in.begin(); it != c.pending_in.end(); ++it) {
            if (it->urb->client_addr != addr)
                continue;
            Urb u = *it;
            c.pending_in.erase(it);
            Finish(u, -ENOENT, nullptr, 0);
            Reply(client, 0, 0);
            Done(c, u);
            return;
        }
        Reply(client, -1, EINVAL);
    }

    gboolean On_Ioctl(Node &n, UMockdevIoctlClient *client) {
        std::lock_guard<std::mutex> hold(mu);
        Client &c = Client_Of(n, client);
        unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        Dev *d = n.dev;
        if (n.kernel) {
            Reply(client, -1, ENOTTY);
            return TRUE;
        }
        switch (request) {
        case USBDEVFS_SUBMITURB:
            Submit(n, c, client);
            return TRUE;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            Reap(c, client, request == USBDEVFS_REAPURB);
            return TRUE;
        case USBDEVFS_DISCARDURB:
            Discard(c, client);
            return TRUE;
        default:
            break;
        }
        if (!d) {
            Reply(client, -1, ENODEV);
            return TRUE;
        }
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData *caps = Resolve(arg, 0, sizeof(uint32_t));
            if (!caps) {
                Reply(client, -1, EFAULT);
                break;
            }
            uint32_t v = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                         USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            memcpy(caps->data, &v, sizeof v);
            Reply(client, 0, 0);
            g_object_unref(caps);
            break;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            UMockdevIoctlData *num = Resolve(arg, 0, sizeof(unsigned int));
            unsigned int iface = 0;
            if (num) {
                memcpy(&iface, num->data, sizeof iface);
                g_object_unref(num);
            }
            if (iface != 0) {
                Reply(client, -1, EINVAL);
                break;
            }
            if (request == USBDEVFS_RELEASEINTERFACE) {
                if (d->owner == &c)
                    d->owner = nullptr;
                Reply(client, 0, 0);
                break;
            }
            if (d->owner && d->owner != &c) {
                Forget_Dead(n);
                // Forget_Dead may have freed the old owner's record.
                d = n.dev;
            }
            if (d->in_use || (d->owner && d->owner != &c)) {
                d->stats.refused_claims++;
                d->model->Refused();
                Reply(client, -1, EBUSY);
                break;
            }
            if (d->owner != &c) {
                d->owner = &c;
                d->in_bytes.clear();
                d->model->Reset();
                d->stats.claims++;
            }
            Reply(client, 0, 0);
            break;
        }
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP: {
            UMockdevIoctlData *num = Resolve(arg, 0, sizeof(unsigned int));
            unsigned int ep = 0;
            if (num) {
                memcpy(&ep, num->data, sizeof ep);
                g_object_unref(num);
            }
            if (ep & 0x80)
                d->in_halted = false;
            else
                d->out_halted = false;
            d->stats.clear_halts++;
            Reply(client, 0, 0);
            break;
        }
        case USBDEVFS_RESET:
            d->in_halted = d->out_halted = false;
            Reply(client, 0, 0);
            break;
        default:
            Reply(client, -1, ENOTTY);
            break;
        }
        return TRUE;
    }

    gboolean On_Read(Node &n, UMockdevIoctlClient *client) {
        std::lock_guard<std::mutex> hold(mu);
        Client &c = Client_Of(n, client);
        Dev *d = n.dev;
        if (!d || !n.kernel) {
            Reply(client, -1, d ? EINVAL : ENODEV);
            return TRUE;
        }
        if (d->owner != &c) {
            // The node was opened while another session held the device.
            Reply(client, -1, EBUSY);
            return TRUE;
        }
        c.held = client;
        g_object_ref(client);
        c.held_arg = umockdev_ioctl_client_get_arg(client);
        g_object_ref(c.held_arg);
        c.held_read = true;
        uint64_t g = c.held_gen = ++gen;
        Pump(*d);
        if (!c.held)
            return TRUE;
        Node *np = &n;
        At(Clock::now() + kNodeReadHold, [this, np, client, g] {
            std::lock_guard<std::mutex> lock(mu);
            auto it = np->clients.find(client);
            if (it == np->clients.end())
                return;
            Client &cc = *it->second;
            if (cc.held == client && cc.held_gen == g) {
                Reply(client, 0, 0);
                Drop_Held(cc);
            }
        });
        return TRUE;
    }

    gboolean On_Write(Node &n, UMockdevIoctlClient *client) {
        std::lock_guard<std::mutex> hold(mu);
        Client &c = Client_Of(n, client);
        Dev *d = n.dev;
        if (!d || !n.kernel) {
            Reply(client, -1, d ? EINVAL : ENODEV);
            return TRUE;
        }
        if (d->owner != &c) {
            Reply(client, -1, EBUSY);
            return TRUE;
        }
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        std::vector<uint8_t> bytes(arg->data, arg->data + arg->data_len);
        d->stats.out_bytes += bytes.size();
        Reply(client, long(bytes.size()), 0);
        Host_Bytes(*d, bytes.data(), bytes.size());
        return TRUE;
    }

    void On_Connected(Node &n, UMockdevIoctlClient *client) {
        std::lock_guard<std::mutex> hold(mu);
        Forget_Dead(n);
        Client &c = Client_Of(n, client);
        // Opening the kernel node starts a session, as a claim does.
        if (n.kernel && n.dev && !n.dev->owner && !n.dev->in_use) {
            n.dev->owner = &c;
            n.dev->in_bytes.clear();
            n.dev->model->Reset();
            n.dev->stats.claims++;
        } else if (n.kernel && n.dev) {
            n.dev->stats.refused_claims++;
            n.dev->model->Refused();
        }
    }

    void On_Vanished(Node &n, UMockdevIoctlClient *client) {
        std::lock_guard<std::mutex> hold(mu);
        Forget(n, client);
    }

    // A client's process closed the node or ended: its claim and URBs go.
    void Forget(Node &n, UMockdevIoctlClient *client) {
        auto it = n.clients.find(client);
        if (it == n.clients.end())
            return;
        Client &c = *it->second;
        if (n.dev && n.dev->owner == &c)
            n.dev->owner = nullptr;
        Drop_Held(c);
        for (Urb &u : c.pending_in)
            Release(u);
        for (Urb &u : c.done)
            Release(u);
        g_object_unref(c.client);
        n.clients.erase(it);
    }

    static gboolean Ioctl_Cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p) {
        Node *n = static_cast<Node *>(p);
        return n->bus->On_Ioctl(*n, client);
    }
    static gboolean Read_Cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p) {
        Node *n = static_cast<Node *>(p);
        return n->bus->On_Read(*n, client);
    }
    static gboolean Write_Cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p) {
        Node *n = static_cast<Node *>(p);
        return n->bus->On_Write(*n, client);
    }
    static void Connected_Cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p) {
        Node *n = static_cast<Node *>(p);
        n->bus->On_Connected(*n, client);
    }
    static void Vanished_Cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p) {
        Node *n = static_cast<Node *>(p);
        n->bus->On_Vanished(*n, client);
    }

    // A node with its handler, attached before the device that names it.
    Node *Attach(const std::string &devnode, Dev *d, bool kernel) {
        auto n = std::make_unique<Node>();
        n->devnode = devnode;
        n->dev = d;
        n->kernel = kernel;
        n->bus = this;
        n->handler = umockdev_ioctl_base_new();
        g_signal_connect(n->handler, "handle-ioctl", G_CALLBACK(Ioctl_Cb), n.get());
        if (kernel) {
            g_signal_connect(n->handler, "handle-read", G_CALLBACK(Read_Cb), n.get());
            g_signal_connect(n->handler, "handle-write", G_CALLBACK(Write_Cb), n.get());
        }
        g_signal_connect(n->handler, "client-connected", G_CALLBACK(Connected_Cb), n.get());
        g_signal_connect(n->handler, "client-vanished", G_CALLBACK(Vanished_Cb), n.get());
        GError *err = nullptr;
        if (!umockdev_testbed_attach_ioctl(tb, devnode.c_str(), n->handler, &err)) {
            std::string what = err ? err->message : "attach failed";
            if (err)
                g_error_free(err);
            throw std::runtime_error("usb bus: " + devnode + ": " + what);
        }
        Node *raw = n.get();
        std::lock_guard<std::mutex> hold(mu);
        nodes.push_back(std::move(n));
        return raw;
    }

    void Add_From_String(const std::string &text) {
        GError *err = nullptr;
        if (!umockdev_testbed_add_from_string(tb, text.c_str(), &err)) {
            std::string what = err ? err->message : "add failed";
            if (err)
                g_error_free(err);
            throw std::runtime_error("usb bus: " + what);
        }
    }

    // Plugs the device in at a fresh device number. Called without mu.
    void Plug(Dev &d, uint32_t serial) {
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

    void Leave(int id) {
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

    void Rejoin(int id, uint32_t serial) {
        Dev *d;
        {
            std::lock_guard<std::mutex> hold(mu);
            d = devs[size_t(id)].get();
        }
        Plug(*d, serial);
    }
};

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
