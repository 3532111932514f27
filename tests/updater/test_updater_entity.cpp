// UpdaterEntity against a scripted device on TCP loopback: the replies a
// well-behaved simulator never sends (block size 0, a short WRITE reply, a
// checksum one off, a device that never restarts or whose link is gone only
// for a moment while it restarts).
#include "updater/UpdaterDisplayInterface.h"
#include "tests/support/device_double.h"
#include "tests/support/loopback_listener.h"
#include "updater/UpdaterEntity.h"
#include "updater/UpdaterSteps.h"

#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <chrono>
#include <string>
#include <thread>

using Velquire::Corvantis::Module;

namespace {

const uint32_t kSerial = 0x0012ABCD;

struct Recorder : UpdaterDisplayInterface {
    std::string errors;
    int spinner_frames = 0;
    void display_progress(bool) override {}
    void update_progress(double, const char *) override {}
    void update_spinner(bool active, const char *) override { spinner_frames += active; }
    void info_message(const char *) override {}
    void error_message(const char *t) override { errors += std::string(t) + "\n"; }
};

// What the device does with a REBOOT request.
enum class Reboot {
    StayUp,     // nothing: the link stays up
    CloseLine,  // the connection ends and the device stops listening
    LoseSync,   // a stray byte throws the link out of step; it answers no probe
};

// Upgrade replies as a device with these quirks gives them.
struct Quirks {
    uint16_t block_size = 64;
    int sum_offset = 0;
    bool short_write_reply = false;
    Reboot reboot = Reboot::StayUp;
};

struct Fixture {
    LoopbackListener listener;
    DeviceDouble device;
    Module module{2, false, 0};
    Recorder display;
    Quirks quirks;
    uint32_t run_sum = 0;

    bool connect()
    {
        device.address = 2;
        device.setHandler([this](const Bytes &p) -> std::vector<Bytes> {
            if (p.size() < 4 || p[2] != 0x5F)
                return {};
            switch (p[3]) {
            case 3:
                run_sum = 0;
                return {{2, 5, 0x5F, 7, 0, uint8_t(quirks.block_size >> 8), uint8_t(quirks.block_size)}};
            case 1:
                for (size_t i = 4; i < p.size(); i++)
                    run_sum += p[i];
                return {{2, 3, 0x5F, 1, uint8_t(p.size() - 4)}};
            case 4: {
                uint32_t s = run_sum + uint32_t(quirks.sum_offset);
                run_sum = 0;
                return {{2, 7, 0x5F, 7, 0, uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(s)}};
            }
            case 5:
                if (quirks.short_write_reply)
                    return {{2, 2, 0x5F, 7}};
                return {{2, 3, 0x5F, 7, 0}};
            case 6:
                if (quirks.reboot == Reboot::CloseLine) {
                    listener.stop(); // nothing for the stream to reconnect to
                    device.closeLine();
                }
                if (quirks.reboot == Reboot::LoseSync) {
                    device.answerSync = false;
                    return {{1}};
                }
                return {};
            default:
                return {};
            }
        });
        _disableEther(module, display);
        linkSpec spec{};
        spec.type = linkTypeTCPIP;
        spec.serialNumber = kSerial;
        spec.transport.ip.address = loopbackAddress();
        spec.transport.ip.port = listener.port;
        std::thread accepter([this] {
            int fd = listener.accept();
            if (fd >= 0) {
                int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                device.start(fd);
            }
        });
        vErr err = module.connectFromSpec(spec);
        accepter.join();
        return err == vErrNone;
    }

    int data_packets()
    {
        int n = 0;
        for (const Bytes &p : device.requests())
            n += p.size() >= 4 && p[2] == 0x5F && p[3] == 1;
        return n;
    }
};

// A firmware block: address word, then code bytes 1, 2, 3, ...
Bytes Block(size_t code_bytes)
{
    Bytes b = {0, 0, 0x10, 0};
    for (size_t i = 0; i < code_bytes; i++)
        b.push_back(uint8_t(i + 1));
    return b;
}

TEST(UpdaterEntity, FirmwareTransferOutcomes)
{
    struct Case {
        const char *name;
        Quirks quirks;
        size_t code_bytes;
        vErr expected;
        int data_packets;
    } cases[] = {
        {"27 bytes go as 26 + 1", {64, 0, false}, 27, vErrNone, 2},
        {"block size 0 fails at once instead of looping", {0, 0, false}, 100, vErrSize, 0},
        {"checksum one off", {64, 1, false}, 27, vErrInvalidOption, 2},
        {"WRITE reply without a status", {64, 0, true}, 27, vErrInvalidOption, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.quirks = c.quirks;
        ASSERT_TRUE(f.connect());
        UpdaterEntity entity;
        entity.init(&f.module, 0, true, false);
        Bytes block = Block(c.code_bytes);
        uint16_t block_size = 0;
        ASSERT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, block_size), vErrNone);
        EXPECT_EQ(block_size, c.quirks.block_size);
        EXPECT_EQ(entity.FirmwareTransfer(block.data(), uint32_t(block.size()), block_size, f.display), c.expected);
        EXPECT_EQ(f.data_packets(), c.data_packets);
    }
}

TEST(UpdaterEntity, RebootWaitIsBounded)
{
    Fixture f;
    ASSERT_TRUE(f.connect());
    UpdaterEntity skip;
    skip.init(&f.module, 0, true, true);
    EXPECT_EQ(skip.LoaderReboot(f.display), vErrNone);
    EXPECT_EQ(f.display.spinner_frames, 1);

    UpdaterEntity wait;
    wait.init(&f.module, 0, true, false);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(wait.LoaderReboot(f.display), vErrTimeout);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(s, 29.0);
    EXPECT_LT(s, 120.0); // hang bound only
    EXPECT_EQ(f.display.errors, "Device [0012ABCD] did not restart after the update\n");
}

// The wait ends as soon as the link is gone. A link that is lost only for a
// moment (a line that resynchronises after the restart) is back well within
// one 250 ms round, so a wait that only looks at the link between rounds
// misses the drop and runs into its 30 s bound.
TEST(UpdaterEntity, RebootWaitEndsWhenTheLinkDrops)
{
    struct Case {
        const char *name;
        Reboot reboot;
    } cases[] = {
        {"connection closed", Reboot::CloseLine},
        {"out of step for 150 ms", Reboot::LoseSync},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.quirks.reboot = c.reboot;
        ASSERT_TRUE(f.connect());
        std::thread restorer;
        if (c.reboot == Reboot::LoseSync)
            restorer = std::thread([&f] {
                for (int i = 0; i < 5000 && f.module.isConnected(); i++)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
                f.device.sendRaw({2, 0, 2, 0}); // both sync replies: in step again
            });
        UpdaterEntity entity;
        entity.init(&f.module, 0, true, false);
        EXPECT_EQ(entity.LoaderReboot(f.display), vErrNone);
        if (restorer.joinable())
            restorer.join();
        EXPECT_LE(f.display.spinner_frames, 1); // none when the drop is seen at once
        EXPECT_EQ(f.display.errors, "");
        if (c.reboot == Reboot::LoseSync) { // the line really came back
            for (int i = 0; i < 3000 && !f.module.isConnected(); i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            EXPECT_TRUE(f.module.isConnected());
        }
    }
}

} // namespace
