// Link round trip over the emulated USB bus beside the bus's own raw bulk
// OUT + IN round trip, both against the same simulated device in the same run;
// and the CPU the tool process spends on an idle USB link, beside the CPU of a
// bare pending IN transfer (the bus's own re-reap cost).
//
// The benchmark runs itself under corvantis-sim's bus: started plainly it
// re-executes as "corvantis-sim --device ... -- <this program>".
#include "common/cvusb_driver.h"
#include "common/vLink.h"
#include "common/vPacket.h"
#include "tests/support/sim_process.h"

#include <libusb.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const uint32_t kSerial = 0x0B0B0B0B;
const int kRounds = 400;

double sP50(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double sCpuSeconds()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU share of this process while fn runs for the given time.
template <typename Fn>
double sCpuPercent(double seconds, Fn fn)
{
    double c0 = sCpuSeconds();
    auto t0 = Clock::now();
    fn(seconds);
    double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return 100.0 * (sCpuSeconds() - c0) / wall;
}

void sBench(const char *name, double value, const char *unit, double floor)
{
    printf("BENCH %s %.3f %s floor %.3f %s ratio %.2f\n", name, value, unit, floor, unit,
           floor > 0 ? value / floor : 0.0);
}

libusb_device_handle *sOpenRaw()
{
    libusb_context *ctx = Corvantis_libusb_context();
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle *found = nullptr;
    for (ssize_t i = 0; i < n && !found; i++) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(list[i], &d) != 0 || !cvusb_is_family_device(d.idVendor, d.idProduct))
            continue;
        libusb_device_handle *h = nullptr;
        if (libusb_open(list[i], &h) != 0)
            continue;
        unsigned char text[64] = {};
        char want[16];
        snprintf(want, sizeof want, "%08X", kSerial);
        if (libusb_get_string_descriptor_ascii(h, d.iSerialNumber, text, sizeof text) > 0 &&
            strcmp(reinterpret_cast<char *>(text), want) == 0 && libusb_claim_interface(h, 0) == 0)
            found = h;
        else
            libusb_close(h);
    }
    if (n >= 0)
        libusb_free_device_list(list, 1);
    return found;
}

// Sync probe out, its two-byte answer in, with libusb alone.
std::vector<double> sRawRoundTrips(libusb_device_handle *h)
{
    std::vector<double> us;
    unsigned char probe[2] = {173, 0}, in[1024];
    for (int i = 0; i < kRounds; i++) {
        int done = 0, got = 0;
        auto t0 = Clock::now();
        if (libusb_bulk_transfer(h, 0x01, probe, 2, &done, 50) != 0)
            continue;
        if (libusb_bulk_transfer(h, 0x81, in, sizeof in, &got, 1000) != 0 || got != 2)
            continue;
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return us;
}

std::vector<double> sLinkRoundTrips(uint32_t link)
{
    std::vector<double> us;
    const uint8_t none[1] = {0};
    vPacket *probe = vPacket_CreateWithData(173, 0, none);
    for (int i = 0; i < kRounds; i++) {
        auto t0 = Clock::now();
        if (vLink_PutPacket(link, probe) != vErrNone)
            continue;
        vPacket *answer = vLink_AwaitPacket(link, 1000);
        if (!answer)
            continue;
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        vPacket_Destroy(&answer);
    }
    vPacket_Destroy(&probe);
    return us;
}

int sMeasure()
{
    libusb_device_handle *raw = sOpenRaw();
    if (!raw) {
        fprintf(stderr, "bench_usb: no simulated device on the bus\n");
        return 1;
    }
    sRawRoundTrips(raw); // warm-up
    std::vector<double> rawUs = sRawRoundTrips(raw);
    // Idle floor: one IN transfer pending at a time, as the link's reader keeps.
    double rawIdle = sCpuPercent(2.0, [raw](double s) {
        auto end = Clock::now() + std::chrono::duration<double>(s);
        unsigned char in[1024];
        while (Clock::now() < end) {
            int got = 0;
            libusb_bulk_transfer(raw, 0x81, in, sizeof in, &got, 1000);
        }
    });
    libusb_release_interface(raw, 0);
    libusb_close(raw);

    uint32_t link = vLink_CreateUSB(kSerial);
    if (!link) {
        fprintf(stderr, "bench_usb: vLink_CreateUSB failed\n");
        return 1;
    }
    sLinkRoundTrips(link);
    std::vector<double> linkUs = sLinkRoundTrips(link);
    double linkIdle = sCpuPercent(2.0, [](double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); });
    vLink_Destroy(&link);
    Corvantis_libusb_exit();

    if (rawUs.size() < kRounds / 2 || linkUs.size() < kRounds / 2) {
        fprintf(stderr, "bench_usb: too many lost round trips (raw %zu, link %zu of %d)\n", rawUs.size(),
                linkUs.size(), kRounds);
        return 1;
    }
    sBench("usb_link_rtt_p50", sP50(linkUs), "us", sP50(rawUs));
    sBench("usb_link_idle_cpu", linkIdle, "%", rawIdle);
    return 0;
}

} // namespace

int main()
{
    if (getenv("UMOCKDEV_DIR"))
        return sMeasure();
    // Not under the bus yet: let the simulator run us.
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return 1;
    self[n] = 0;
    char device[64];
    snprintf(device, sizeof device, "serial=0x%08X,usb", kSerial);
    std::vector<std::string> words = fixtures::SimProcess::Under({"--device", device}, {self});
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    fprintf(stderr, "bench_usb: cannot run %s\n", argv[0]);
    return 1;
}
