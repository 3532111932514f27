// The emulated USB bus: uRB queues: submit, complete, reap, discard, and the bytes between host and model.
#include "sim/usb/UsbBusPrivate.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cvsim {

namespace {

// libusb re-reaps at once because poll() on an emulated node never blocks:
// an empty reap while a URB is in flight is answered only after this pause,
// or as soon as any URB completes, which keeps both processes nearly idle
// between transfers. It bounds how late libusb sees its own time-outs.
constexpr auto kReapHold = std::chrono::milliseconds(10);

}  // namespace

void UsbBus::Impl::Finish(Urb &u, int status, const uint8_t *bytes, int count, int offset) {
    auto *urb = reinterpret_cast<usbdevfs_urb *>(u.urb->data);
    if (count > 0 && u.buf)
        memcpy(u.buf->data + offset, bytes, size_t(count));
    urb->status = status;
    urb->actual_length = count > 0 ? count : 0;
}

void UsbBus::Impl::Release(Urb &u) {
    if (u.buf)
        g_object_unref(u.buf);
    if (u.urb)
        g_object_unref(u.urb);
    u.buf = u.urb = nullptr;
}

void UsbBus::Impl::Drop_Held(Client &c) {
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
bool UsbBus::Impl::Hand_Over(Client &c, UMockdevIoctlClient *client, UMockdevIoctlData *reap) {
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

void UsbBus::Impl::Complete_Held_Reap(Client &c) {
    if (!c.held || c.held_read)
        return;
    if (Hand_Over(c, c.held, c.held_arg))
        Drop_Held(c);
}

void UsbBus::Impl::Done(Client &c, Urb &u) {
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

bool UsbBus::Impl::Take_Fault(Dev &d, UsbFault f) {
    Dev::FaultCount &fc = d.faults[int(f)];
    if (!fc.armed)
        return false;
    if (fc.left > 0 && --fc.left == 0)
        fc.armed = false;
    return true;
}

// Moves device bytes into the owner's waiting IN URBs or held node read;
// a device about to leave the bus goes once they are taken.
void UsbBus::Impl::Pump(Dev &d) {
    Pump_Bytes(d);
    if (d.leave.pending && d.in_bytes.empty())
        Leave_Now(d);
}

void UsbBus::Impl::Pump_Bytes(Dev &d) {
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

void UsbBus::Impl::Host_Bytes(Dev &d, const uint8_t *bytes, size_t n) {
    std::vector<uint8_t> in;
    UsbDeviceModel::Effect e = d.model->Out(bytes, n, in);
    d.in_bytes.insert(d.in_bytes.end(), in.begin(), in.end());
    Pump(d);
    Model_Effect(d, e);
}

void UsbBus::Impl::Submit(Node &n, Client &c, UMockdevIoctlClient *client) {
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

void UsbBus::Impl::Reap(Client &c, UMockdevIoctlClient *client, bool wait) {
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

void UsbBus::Impl::Discard(Client &c, UMockdevIoctlClient *client) {
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

}  // namespace cvsim
