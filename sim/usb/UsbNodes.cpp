// The emulated USB bus: device nodes: their handlers, their clients, and kernel node reads and writes.
#include "sim/usb/UsbBusPrivate.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace cvsim {

namespace {

// A kernel node read with nothing to deliver returns 0 bytes after this.
constexpr auto kNodeReadHold = std::chrono::milliseconds(100);

}  // namespace

// A node with its handler, attached before the device that names it.
Node *UsbBus::Impl::Attach(const std::string &devnode, Dev *d, bool kernel) {
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

gboolean UsbBus::Impl::Ioctl_Cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p) {
    Node *n = static_cast<Node *>(p);
    return n->bus->On_Ioctl(*n, client);
}

gboolean UsbBus::Impl::Read_Cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p) {
    Node *n = static_cast<Node *>(p);
    return n->bus->On_Read(*n, client);
}

gboolean UsbBus::Impl::Write_Cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p) {
    Node *n = static_cast<Node *>(p);
    return n->bus->On_Write(*n, client);
}

void UsbBus::Impl::Connected_Cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p) {
    Node *n = static_cast<Node *>(p);
    n->bus->On_Connected(*n, client);
}

void UsbBus::Impl::Vanished_Cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p) {
    Node *n = static_cast<Node *>(p);
    n->bus->On_Vanished(*n, client);
}

Client &UsbBus::Impl::Client_Of(Node &n, UMockdevIoctlClient *client) {
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

// The vanished signal does not always come; a client whose connection is
// gone is found out when another one arrives or claims.
void UsbBus::Impl::Forget_Dead(Node &n) {
    std::vector<UMockdevIoctlClient *> dead;
    for (auto &kv : n.clients)
        if (!umockdev_ioctl_client_get_connected(kv.first))
            dead.push_back(kv.first);
    for (UMockdevIoctlClient *c : dead)
        Forget(n, c);
}

// A client's process closed the node or ended: its claim and URBs go.
void UsbBus::Impl::Forget(Node &n, UMockdevIoctlClient *client) {
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

void UsbBus::Impl::On_Connected(Node &n, UMockdevIoctlClient *client) {
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

void UsbBus::Impl::On_Vanished(Node &n, UMockdevIoctlClient *client) {
    std::lock_guard<std::mutex> hold(mu);
    Forget(n, client);
}

// The device a kernel node read or write reaches, or null once the refusal
// is answered: not a kernel node, a device that left, or a node opened while
// another session held the device.
Dev *UsbBus::Impl::Node_Device(Node &n, Client &c, UMockdevIoctlClient *client) {
    Dev *d = n.dev;
    if (!d || !n.kernel) {
        Reply(client, -1, d ? EINVAL : ENODEV);
        return nullptr;
    }
    if (d->owner != &c) {
        Reply(client, -1, EBUSY);
        return nullptr;
    }
    return d;
}

gboolean UsbBus::Impl::On_Read(Node &n, UMockdevIoctlClient *client) {
    std::lock_guard<std::mutex> hold(mu);
    Client &c = Client_Of(n, client);
    Dev *d = Node_Device(n, c, client);
    if (!d)
        return TRUE;
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

gboolean UsbBus::Impl::On_Write(Node &n, UMockdevIoctlClient *client) {
    std::lock_guard<std::mutex> hold(mu);
    Client &c = Client_Of(n, client);
    Dev *d = Node_Device(n, c, client);
    if (!d)
        return TRUE;
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    std::vector<uint8_t> bytes(arg->data, arg->data + arg->data_len);
    d->stats.out_bytes += bytes.size();
    Reply(client, long(bytes.size()), 0);
    Host_Bytes(*d, bytes.data(), bytes.size());
    return TRUE;
}

}  // namespace cvsim
