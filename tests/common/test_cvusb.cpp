// USB driver rules that need no device: identity, link interface discovery,
// chunking, stalls, the error tolerance and the shared context. The transfers
// of a ready handle are replaced by a scripted fake.
#include "common/cvusb_driver.h"
#include "common/cvusb_private.h"

#include <libusb.h>

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

TEST(CvusbIdentity, VendorAndProductRange)
{
    struct Case {
        uint16_t vid, pid;
        bool family;
    } cases[] = {
        {CVUSB_VENDOR_ID, 0x8000, true},  {CVUSB_VENDOR_ID, 0x800D, true},
        {CVUSB_VENDOR_ID, 0xFFFF, true},  {CVUSB_VENDOR_ID, 0x7FFF, false},
        {CVUSB_VENDOR_ID, 0x0000, false}, {CVUSB_VENDOR_ID + 1, 0x8000, false},
        {0x0000, 0x8000, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(cvusb_is_family_device(c.vid, c.pid), c.family) << std::hex << c.vid << ":" << c.pid;
}

// A configuration built in memory, as libusb would parse it.
struct Config {
    std::vector<std::vector<libusb_endpoint_descriptor>> endpoints;
    std::vector<libusb_interface_descriptor> alts;
    std::vector<libusb_interface> ifaces;
    libusb_config_descriptor config{};

    static libusb_endpoint_descriptor Ep(uint8_t address, uint8_t attributes, uint16_t size)
    {
        libusb_endpoint_descriptor e{};
        e.bEndpointAddress = address;
        e.bmAttributes = attributes;
        e.wMaxPacketSize = size;
        return e;
    }
    // One interface per call, with one alternate setting.
    void Add(uint8_t number, uint8_t cls, uint8_t sub, uint8_t proto, std::vector<libusb_endpoint_descriptor> eps)
    {
        endpoints.push_back(std::move(eps));
        libusb_interface_descriptor a{};
        a.bInterfaceNumber = number;
        a.bInterfaceClass = cls;
        a.bInterfaceSubClass = sub;
        a.bInterfaceProtocol = proto;
        alts.push_back(a);
    }
    const libusb_config_descriptor *Get()
    {
        ifaces.clear();
        for (size_t i = 0; i < alts.size(); i++) {
            alts[i].bNumEndpoints = uint8_t(endpoints[i].size());
            alts[i].endpoint = endpoints[i].data();
        }
        for (size_t i = 0; i < alts.size(); i++) {
            libusb_interface in{};
            in.altsetting = &alts[i];
            in.num_altsetting = 1;
            ifaces.push_back(in);
        }
        config.bNumInterfaces = uint8_t(ifaces.size());
        config.interface = ifaces.data();
        return &config;
    }
};

TEST(CvusbLinkInterface, FindsEndpointsOfTheFamilyInterfaceOnly)
{
    const auto ep = Config::Ep;
    {
        // A second, unrelated interface comes first; control and isochronous
        // endpoints are not link endpoints; interrupt ones are.
        Config c;
        c.Add(0, 3, 0, 0, {ep(0x83, 3, 8)});
        c.Add(1, 255, 0x88, 0x10, {ep(0x84, 1, 64), ep(0x02, 2, 512), ep(0x81, 3, 64), ep(0x85, 2, 512)});
        cvusb_link_interface f;
        ASSERT_TRUE(cvusb_find_link_interface(c.Get(), &f));
        EXPECT_EQ(f.interfaceNumber, 1);
        EXPECT_EQ(f.outEndpoint, 0x02);
        EXPECT_EQ(f.outMaxPacket, 512);
        EXPECT_EQ(f.inEndpoint, 0x81);
        EXPECT_EQ(f.inMaxPacket, 64);
    }
    {
        Config c; // no IN endpoint
        c.Add(0, 255, 0x88, 0x10, {ep(0x01, 2, 512)});
        cvusb_link_interface f;
        ASSERT_TRUE(cvusb_find_link_interface(c.Get(), &f));
        EXPECT_EQ(f.inEndpoint, 0);
        EXPECT_EQ(f.outEndpoint, 0x01);
    }
    struct Wrong {
        uint8_t cls, sub, proto;
    } wrong[] = {{0xFE, 0x88, 0x10}, {255, 0x87, 0x10}, {255, 0x88, 0x11}, {0, 0, 0}};
    for (const Wrong &w : wrong) {
        Config c;
        c.Add(0, w.cls, w.sub, w.proto, {ep(0x01, 2, 512), ep(0x81, 2, 512)});
        cvusb_link_interface f;
        EXPECT_FALSE(cvusb_find_link_interface(c.Get(), &f)) << int(w.cls) << "/" << int(w.sub) << "/" << int(w.proto);
        EXPECT_EQ(f.inEndpoint | f.outEndpoint, 0);
    }
    EXPECT_FALSE(cvusb_find_link_interface(nullptr, nullptr));
}

// Scripted transfers: each call takes the next step; IN steps hand out data.
struct Step {
    int rc;
    int transferred; // for IN: bytes of data handed out
};

class FakeBus {
public:
    std::mutex mu;
    std::deque<Step> outSteps, inSteps;
    std::vector<int> outChunks;      // requested lengths of OUT transfers
    std::vector<uint8_t> outBytes;   // bytes the fake accepted
    std::vector<uint8_t> clears;     // endpoints whose halt was cleared
    std::vector<unsigned> timeouts;  // per transfer
    int clearRc = 0;
    uint8_t nextInByte = 0x40;
    std::atomic<int> inCalls{0};

    static int Bulk(void *ref, uint8_t endpoint, uint8_t *data, int length, int *transferred, unsigned timeout)
    {
        FakeBus *f = static_cast<FakeBus *>(ref);
        std::lock_guard<std::mutex> hold(f->mu);
        f->timeouts.push_back(timeout);
        bool in = endpoint & 0x80;
        std::deque<Step> &steps = in ? f->inSteps : f->outSteps;
        Step s{0, in ? 0 : length};
        if (!steps.empty()) {
            s = steps.front();
            steps.pop_front();
        }
        *transferred = s.transferred;
        if (in) {
            f->inCalls++;
            for (int i = 0; i < s.transferred && i < length; i++)
                data[i] = f->nextInByte++;
        } else {
            f->outChunks.push_back(length);
            f->outBytes.insert(f->outBytes.end(), data, data + s.transferred);
        }
        return s.rc;
    }
    static int Clear(void *ref, uint8_t endpoint)
    {
        FakeBus *f = static_cast<FakeBus *>(ref);
        std::lock_guard<std::mutex> hold(f->mu);
        f->clears.push_back(endpoint);
        return f->clearRc;
    }
};

class CvusbFake : public ::testing::Test {
protected:
    void SetUp() override { Make(512, 512); }
    void TearDown() override { cvusb_destroy(&dev); }
    void Make(uint16_t outMax, uint16_t inMax)
    {
        cvusb_destroy(&dev);
        dev = cvusb_create_usb(1);
        ASSERT_NE(dev, nullptr);
        ASSERT_EQ(cvusb_get_state(dev), CVUSB_STATE_CREATED);
        cvusb_transfer_ops ops{FakeBus::Bulk, FakeBus::Clear, &bus};
        cvusb_link_interface link{0, 0x01, 0x81, outMax, inMax};
        ASSERT_EQ(cvusb_attach_transfer_ops(dev, &ops, &link), vErrNone);
        ASSERT_EQ(cvusb_get_state(dev), CVUSB_STATE_READY);
    }
    FakeBus bus;
    cvusb_device *dev = nullptr;
};

TEST_F(CvusbFake, WritesInChunksOfThePacketSizeWith512CutTo511)
{
    struct Case {
        uint16_t outMax;
        uint32_t length;
        std::vector<int> chunks;
    } cases[] = {
        {512, 1024, {511, 511, 2}},
        {512, 512, {511, 1}},
        {512, 511, {511}},
        {512, 1, {1}},
        {64, 130, {64, 64, 2}},
        {1024, 1024, {1024}},
        {1024, 512, {511, 1}},
    };
    for (const Case &c : cases) {
        Make(c.outMax, 512);
        bus.outChunks.clear();
        bus.outBytes.clear();
        std::vector<uint8_t> data(c.length);
        for (uint32_t i = 0; i < c.length; i++)
            data[i] = uint8_t(i * 7);
        EXPECT_EQ(cvusb_write_to_device(dev, data.data(), c.length), vErrNone);
        EXPECT_EQ(bus.outChunks, c.chunks) << c.outMax << "/" << c.length;
        EXPECT_EQ(bus.outBytes, data);
    }
    for (unsigned t : bus.timeouts)
        EXPECT_EQ(t, unsigned(CVUSB_OUT_TIMEOUT_MS));
}

TEST_F(CvusbFake, WriteResumesAfterTimeoutsAndStallsWithoutRepeatingBytes)
{
    std::vector<uint8_t> data(600);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(i);
    // 100 bytes went out before a time-out, then a stall, then the rest.
    bus.outSteps = {{LIBUSB_ERROR_TIMEOUT, 100}, {LIBUSB_ERROR_PIPE, 0}};
    EXPECT_EQ(cvusb_write_to_device(dev, data.data(), uint32_t(data.size())), vErrNone);
    EXPECT_EQ(bus.outBytes, data);
    EXPECT_EQ(bus.clears, std::vector<uint8_t>{0x01});
    EXPECT_EQ(bus.outChunks, (std::vector<int>{511, 500, 500}));
}

TEST_F(CvusbFake, WriteGivesUpAfterTenFailedTransfers)
{
    for (int i = 0; i < 10; i++)
        bus.outSteps.push_back({LIBUSB_ERROR_TIMEOUT, 0});
    uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(cvusb_write_to_device(dev, data, 3), vErrWrite);
    EXPECT_EQ(bus.outChunks.size(), 10u);
    // Not an I/O error: the handle stays ready and the next write goes out.
    EXPECT_EQ(cvusb_write_to_device(dev, data, 3), vErrNone);
    EXPECT_EQ(cvusb_get_state(dev), CVUSB_STATE_READY);
}

TEST_F(CvusbFake, ReadServesOneTransferByteByByte)
{
    bus.inSteps = {{0, 3}, {LIBUSB_ERROR_TIMEOUT, 2}, {LIBUSB_ERROR_TIMEOUT, 0}, {0, 0}};
    uint8_t b = 0;
    for (uint8_t want = 0x40; want < 0x43; want++) {
        ASSERT_EQ(cvusb_get_from_device(dev, &b), vErrNone);
        EXPECT_EQ(b, want);
    }
    EXPECT_EQ(bus.inCalls.load(), 1);
    // Bytes that arrived before a time-out are delivered.
    ASSERT_EQ(cvusb_get_from_device(dev, &b), vErrNone);
    EXPECT_EQ(b, 0x43);
    ASSERT_EQ(cvusb_get_from_device(dev, &b), vErrNone);
    EXPECT_EQ(b, 0x44);
    // A time-out with nothing, and an empty transfer, deliver no byte.
    b = 0xEE;
    EXPECT_EQ(cvusb_get_from_device(dev, &b), vErrNotReady);
    EXPECT_EQ(cvusb_get_from_device(dev, &b), vErrNotReady);
    EXPECT_EQ(b, 0xEE);
    EXPECT_EQ(bus.timeouts.front(), unsigned(CVUSB_IN_TIMEOUT_MS));
}

TEST_F(CvusbFake, InStallClearsTheInHaltAndReportsNotReady)
{
    bus.inSteps = {{LIBUSB_ERROR_PIPE, 0}, {LIBUSB_ERROR_PIPE, 0}, {0, 1}};
    uint8_t b;
    EXPECT_EQ(cvusb_get_from_device(dev, &b), vErrNotReady);
    EXPECT_EQ(cvusb_get_from_device(dev, &b), vErrNotReady);
    EXPECT_EQ(cvusb_get_from_device(dev, &b), vErrNone);
    EXPECT_EQ(bus.clears, (std::vector<uint8_t>{0x81, 0x81}));
    EXPECT_EQ(cvusb_get_state(dev), CVUSB_STATE_READY);
}

TEST_F(CvusbFake, FourIoErrorsInARowAreToleratedTheFifthFailsTheHandle)
{
    uint8_t b;
    // Reads: a tolerated error delivers no byte.
    for (int i = 0; i < 4; i++)
        bus.inSteps.push_back({LIBUSB_ERROR_IO, 0});
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(cvusb_get_from_device(dev, &b), vErrNotReady) << i;
    EXPECT_EQ(cvusb_get_error_count(dev), 4);
    // Anything but an I/O error starts the count again.
    bus.inSteps = {{LIBUSB_ERROR_TIMEOUT, 0}};
    EXPECT_EQ(cvusb_get_from_device(dev, &b), vErrNotReady);
    EXPECT_EQ(cvusb_get_error_count(dev), 0);

    // Writes count in the same run: a failed clear halt is an I/O error.
    bus.clearRc = LIBUSB_ERROR_IO;
    uint8_t data[1] = {9};
    for (int i = 0; i < 4; i++) {
        bus.outSteps.push_back({LIBUSB_ERROR_PIPE, 0});
        EXPECT_EQ(cvusb_write_to_device(dev, data, 1), vErrNone) << i;
    }
    EXPECT_EQ(cvusb_get_state(dev), CVUSB_STATE_READY);
    bus.inSteps = {{LIBUSB_ERROR_NO_DEVICE, 0}};
    EXPECT_EQ(cvusb_get_from_device(dev, &b), vErrIO);
    EXPECT_EQ(cvusb_get_state(dev), CVUSB_STATE_FAILED);

    // A failed handle stays failed, without touching the bus, however long it
    // is used (the count must not wrap round into tolerance).
    int calls = bus.inCalls.load();
    size_t outs = bus.outChunks.size();
    for (int i = 0; i < 300; i++) {
        ASSERT_EQ(cvusb_get_from_device(dev, &b), vErrIO) << i;
        ASSERT_EQ(cvusb_write_to_device(dev, data, 1), vErrIO) << i;
    }
    EXPECT_EQ(bus.inCalls.load(), calls);
    EXPECT_EQ(bus.outChunks.size(), outs);
}

TEST_F(CvusbFake, StateDecidesTheResultOfAHandleThatIsNotReady)
{
    uint8_t b, data[1] = {1};
    EXPECT_EQ(cvusb_close_corvantis_device(dev), vErrNone);
    EXPECT_EQ(cvusb_get_state(dev), CVUSB_STATE_CLOSED);
    EXPECT_EQ(cvusb_get_from_device(dev, &b), vErrConnection);
    EXPECT_EQ(cvusb_write_to_device(dev, data, 1), vErrConnection);

    cvusb_device *fresh = cvusb_create_usb(1);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(cvusb_get_from_device(fresh, &b), vErrNotReady);
    EXPECT_EQ(cvusb_write_to_device(fresh, data, 1), vErrNotReady);
    EXPECT_EQ(cvusb_close_corvantis_device(fresh), vErrMode); // nothing open
    EXPECT_EQ(cvusb_destroy(&fresh), vErrNone);
    EXPECT_EQ(fresh, nullptr);
    EXPECT_EQ(cvusb_destroy(&fresh), vErrParam);
    EXPECT_EQ(cvusb_destroy(nullptr), vErrParam);
    EXPECT_EQ(cvusb_get_from_device(nullptr, &b), vErrParam);
    EXPECT_EQ(cvusb_write_to_device(nullptr, data, 1), vErrParam);
    EXPECT_EQ(cvusb_open_corvantis_device(nullptr, "00000001"), vErrParam);

    cvusb_device *kernel = cvusb_create_usb(0);
    ASSERT_NE(kernel, nullptr);
    cvusb_transfer_ops ops{FakeBus::Bulk, FakeBus::Clear, &bus};
    cvusb_link_interface link{0, 1, 0x81, 64, 64};
    EXPECT_EQ(cvusb_attach_transfer_ops(kernel, &ops, &link), vErrMode);
    EXPECT_EQ(cvusb_close_corvantis_device(kernel), vErrNone); // nothing open
    cvusb_destroy(&kernel);
}

// The link engine reads on one thread while it writes on another.
TEST_F(CvusbFake, ReaderAndWriterThreadsShareAHandle)
{
    for (int i = 0; i < 2000; i++)
        bus.inSteps.push_back({i % 3 == 0 ? LIBUSB_ERROR_IO : 0, i % 3 == 0 ? 0 : 5});
    std::atomic<int> got{0};
    std::thread reader([&] {
        uint8_t b;
        for (int i = 0; i < 3000; i++)
            if (cvusb_get_from_device(dev, &b) == vErrNone)
                got++;
    });
    uint8_t data[40] = {};
    for (int i = 0; i < 2000; i++)
        ASSERT_EQ(cvusb_write_to_device(dev, data, sizeof data), vErrNone);
    reader.join();
    EXPECT_GT(got.load(), 0);
    EXPECT_EQ(cvusb_get_state(dev), CVUSB_STATE_READY);
}

TEST(CvusbContext, SharedUntilExit)
{
    libusb_context *a = Corvantis_libusb_context();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(Corvantis_libusb_init(), a);
    std::vector<std::thread> threads;
    std::atomic<int> same{0};
    for (int i = 0; i < 4; i++)
        threads.emplace_back([&] { same += Corvantis_libusb_context() == a; });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(same.load(), 4);
    Corvantis_libusb_exit();
    Corvantis_libusb_exit(); // twice is harmless
    libusb_context *b = Corvantis_libusb_context();
    ASSERT_NE(b, nullptr);
    Corvantis_libusb_exit();
}

TEST(CvusbOpen, UnknownSerialAndMissingKernelNode)
{
    // This machine has no device of the family attached.
    cvusb_device *d = cvusb_create_usb(1);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(cvusb_open_corvantis_device(d, "0BADC0DE"), vErrNotFound);
    EXPECT_EQ(cvusb_open_corvantis_device(d, "123456789"), vErrParam);
    cvusb_destroy(&d);
    EXPECT_FALSE(cvusb_is_kernel_driver_installed(0x0BADC0DE));
    cvusb_device *k = cvusb_create_usb(0);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(cvusb_open_corvantis_device(k, "0BADC0DE"), vErrIO);
    EXPECT_EQ(cvusb_get_state(k), CVUSB_STATE_CLOSED);
    uint8_t b;
    EXPECT_EQ(cvusb_get_from_device(k, &b), vErrConnection);
    cvusb_destroy(&k);
    Corvantis_libusb_exit();
}

} // namespace
