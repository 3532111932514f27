// The emulated bus's records and its implementation object, shared by the
// files that make it up; each group of members below names its file. The
// handlers take mu; the test bed is changed under tb_mu, never with mu held.
#pragma once

#include "sim/usb/UsbBus.h"

#include <umockdev.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace cvsim {

using Clock = std::chrono::steady_clock;

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

    // The timer thread, and what it paces: device ticks and delayed leaves (UsbTimers.cpp)
    void At(Clock::time_point when, std::function<void()> fn);
    void Timer_Loop();
    void Schedule_Tick(Dev &d);
    void Model_Effect(Dev &d, UsbDeviceModel::Effect e);
    void Leave_Now(Dev &d);

    // Descriptors, and the control requests that read them (UsbDescriptors.cpp)
    static std::vector<uint8_t> Device_Descriptor(const Dev &d);
    static std::vector<uint8_t> Config_Descriptor(const Dev &d);
    static std::string Serial_Text(const Dev &d);
    static bool String_Descriptor(const Dev &d, uint8_t index, std::vector<uint8_t> &out);
    void Control(Dev &d, Urb &u);

    // URB queues: submit, complete, reap, discard, and the bytes between host and model (UsbUrbs.cpp)
    static void Finish(Urb &u, int status, const uint8_t *bytes, int count, int offset = 0);
    static void Release(Urb &u);
    void Drop_Held(Client &c);
    bool Hand_Over(Client &c, UMockdevIoctlClient *client, UMockdevIoctlData *reap);
    void Complete_Held_Reap(Client &c);
    void Done(Client &c, Urb &u);
    bool Take_Fault(Dev &d, UsbFault f);
    void Pump(Dev &d);
    void Pump_Bytes(Dev &d);
    void Host_Bytes(Dev &d, const uint8_t *bytes, size_t n);
    void Submit(Node &n, Client &c, UMockdevIoctlClient *client);
    void Reap(Client &c, UMockdevIoctlClient *client, bool wait);
    void Discard(Client &c, UMockdevIoctlClient *client);

    // The usbfs ioctls of a device node (UsbIoctl.cpp)
    static UMockdevIoctlData *Resolve(UMockdevIoctlData *d, size_t offset, size_t len);
    static void Reply(UMockdevIoctlClient *client, long res, int err);
    gboolean On_Ioctl(Node &n, UMockdevIoctlClient *client);

    // Device nodes: their handlers, their clients, and kernel node reads and writes (UsbNodes.cpp)
    Node *Attach(const std::string &devnode, Dev *d, bool kernel);
    static gboolean Ioctl_Cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p);
    static gboolean Read_Cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p);
    static gboolean Write_Cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p);
    static void Connected_Cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p);
    static void Vanished_Cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p);
    Client &Client_Of(Node &n, UMockdevIoctlClient *client);
    void Forget_Dead(Node &n);
    void Forget(Node &n, UMockdevIoctlClient *client);
    void On_Connected(Node &n, UMockdevIoctlClient *client);
    void On_Vanished(Node &n, UMockdevIoctlClient *client);
    Dev *Node_Device(Node &n, Client &c, UMockdevIoctlClient *client);
    gboolean On_Read(Node &n, UMockdevIoctlClient *client);
    gboolean On_Write(Node &n, UMockdevIoctlClient *client);

    // The test bed: devices plugged in and out (UsbBus.cpp)
    void Add_From_String(const std::string &text);
    void Plug(Dev &d, uint32_t serial);
    void Leave(int id);
    void Rejoin(int id, uint32_t serial);
};

}  // namespace cvsim
