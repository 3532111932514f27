// An emulated USB bus below the system's libusb: a umockdev test bed with a
// root hub and one USB device per simulated device. The device and
// configuration descriptors live in the test bed's sysfs; string descriptors
// and the usbfs ioctls of the device nodes (claims, URBs, halts) are answered
// here, with the bulk endpoints joined to a device model. A device can also
// offer the family's kernel node ("/dev/corvantis.%08X"), whose reads and
// writes reach the same model.
//
// The process that owns the bus must run under libumockdev-preload
// (Usb_Preload_Reexec), and so must every client process (Usb_Client_Env).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace cvsim {

// The device side of the link interface.
class UsbDeviceModel {
public:
    virtual ~UsbDeviceModel() = default;
    // What the device does after the host's bytes were handled.
    struct Effect {
        enum Kind { Keep, Rejoin, Gone } kind = Keep;
        uint32_t away_ms = 0;  // for Rejoin: time off the bus
    };
    // Bytes of a bulk OUT transfer (or kernel node write); the answer bytes
    // go to the IN side.
    virtual Effect Out(const uint8_t *bytes, size_t count, std::vector<uint8_t> &in) = 0;
    // Bytes the device sends on its own every Tick_Ms() (0: never).
    virtual uint32_t Tick_Ms() const { return 0; }
    virtual void Tick(std::vector<uint8_t> &in) { (void)in; }
    // A new host session (claim or node open): forget half-received bytes.
    virtual void Reset() {}
    // A claim was refused because the device is held.
    virtual void Refused() {}
    // The serial number changed on a rejoin.
    virtual void Set_Serial(uint32_t serial) { (void)serial; }
};

struct UsbDeviceOptions {
    uint32_t serial = 0;
    uint16_t vendor_id = 0;     // 0: the family's
    uint16_t product_id = 0;    // 0: 0x8000 | model
    uint8_t model = 13;
    std::string serial_text;    // empty: "%08X" of serial
    std::string product_name = "Corvantis device";
    uint8_t interface_class = 255;
    bool no_in_endpoint = false;
    bool no_out_endpoint = false;
    uint16_t max_packet = 512;
    bool kernel_node = false;   // also offer /dev/corvantis.%08X
    uint32_t rejoin_serial = 0; // serial after a model-driven rejoin; 0: same
};

enum class UsbFault {
    StallOut,  // bulk OUT URBs complete with a stall
    StallIn,   // bulk IN URBs complete with a stall
    IoOut,     // bulk OUT URBs fail with a protocol error
    IoIn,      // bulk IN URBs fail with a protocol error
};

class UsbBus {
public:
    // Creates the test bed and its root hub. Throws std::runtime_error when
    // the process does not run under the preload library.
    UsbBus();
    ~UsbBus();
    UsbBus(const UsbBus &) = delete;
    UsbBus &operator=(const UsbBus &) = delete;

    // Puts a device on the bus; returns its handle for the calls below.
    int Add(const UsbDeviceOptions &options, std::unique_ptr<UsbDeviceModel> model);
    // Unplugs: pending URBs end with -ESHUTDOWN, later calls give ENODEV.
    void Leave(int id);
    // Plugs it back (a new device number), as serial (0: its last serial).
    void Rejoin(int id, uint32_t serial = 0);
    bool Present(int id) const;
    // The device's usbfs node ("/dev/bus/usb/001/002"), empty while away.
    std::string Devnode(int id) const;
    // A held device refuses claims (another program has it).
    void Set_In_Use(int id, bool held);
    // The next count transfers of that kind fail; count 0: every one until
    // Clear_Faults.
    void Fail(int id, UsbFault fault, uint32_t count);
    void Clear_Faults(int id);

    // The test bed's root (UMOCKDEV_DIR) and the environment a separate
    // process needs to see the bus.
    std::string Root_Dir() const;
    std::vector<std::pair<std::string, std::string>> Client_Env() const;

    struct Stats {
        uint64_t out_urbs = 0, in_urbs = 0, control_urbs = 0;
        uint64_t out_bytes = 0, in_bytes = 0;
        uint64_t claims = 0, refused_claims = 0, clear_halts = 0;
        uint64_t reaps_held = 0;
        std::vector<uint32_t> out_sizes;  // the last 64 bulk OUT lengths
    };
    Stats Device_Stats(int id) const;

    struct Presence {
        bool present = false;   // on the bus
        bool claimed = false;   // a host holds a claim or the open kernel node
        std::string devnode;    // empty while away
    };
    // Runs fn with the device's model while the bus's handlers, which call
    // the model from their own threads, are kept out. fn must not call the bus.
    void Inspect(int id, const std::function<void(const UsbDeviceModel &, const Presence &)> &fn) const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Re-executes the program under libumockdev-preload.so.0 unless it already
// runs under it (argv must be the program's own). Returns only when already
// preloaded; exits the process when the re-exec fails.
void Usb_Preload_Reexec(int argc, char **argv);
bool Usb_Preload_Active();

}  // namespace cvsim
