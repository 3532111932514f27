// Firmware stage of an update (256 KiB image) against corvantis-sim, by byte
// arrays and by 26-byte DATA packets, each beside its protocol floor measured
// in the same run: the request/reply exchanges the transfer needs times the
// link's round trip (a SYNC probe), plus the wire time of the bytes a request
// carries beyond a probe's. The transfer (PREPARE, data runs, SUM, WRITE) is
// what is compared with the floor; the whole stage, with the wait for the
// rebooting device to drop its link, is printed on a line of its own.
//
// Over TCP loopback, then with the simulator adding 1 ms before every reply,
// then once over the emulated USB bus (with and without the 1 ms): for that
// the program runs itself again under "corvantis-sim --config ... --".
#include "updater/UpdaterDisplayInterface.h"
#include "common/vUEI.h"
#include "device/Module.h"
#include "store/BirdFile.h"
#include "tests/support/files.h"
#include "tests/support/sim_process.h"
#include "updater/UpdaterSteps.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace Velquire::Corvantis;
using Clock = std::chrono::steady_clock;

namespace {

const uint32_t kSerial = 0x0012ABCD;
const uint32_t kBlockSize = 1024;
const char *const kPaths[] = {"bytes", "packets"};

double _seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// Silent, but notes when the firmware stage has sent its last block: the
// stage reports "Transferred ..." before it asks the device to reboot.
class Quiet : public UpdaterDisplayInterface {
public:
    Clock::time_point transferred;
    bool seen = false;
    void display_progress(bool) override {}
    void update_progress(double, const char *) override {}
    void update_spinner(bool, const char *) override {}
    void info_message(const char *t) override
    {
        if (std::strncmp(t, "Transferred ", 12) == 0) {
            transferred = Clock::now();
            seen = true;
        }
    }
    void error_message(const char *t) override { std::fprintf(stderr, "%s\n", t); }
};

// Bytes on the wire of one run sent as a byte-array UEI: packets of up to 24
// data bytes, each with its address, length, three UEI bytes and a sequence.
uint32_t _uei_run_wire(uint32_t n)
{
    uint32_t packets = n == 0 ? 1 : (n + vUEI_BYTES_PER_PACKET - 1) / vUEI_BYTES_PER_PACKET;
    return n + packets * 6;
}

// Median time of a loopback TCP exchange that carries `request` bytes out and
// two back, with nothing but the kernel and one waiting thread in between.
double _raw_round_trip(uint32_t request)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        if (listener >= 0)
            close(listener);
        return 0;
    }
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(client, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(client);
        close(listener);
        return 0;
    }
    int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const int rounds = 400;
    std::thread peer([server, request] {
        std::vector<uint8_t> in(request);
        const uint8_t reply[2] = {2, 0};
        for (int r = 0; r < rounds; r++) {
            for (uint32_t got = 0; got < request;) {
                ssize_t n = read(server, in.data() + got, request - got);
                if (n <= 0)
                    return;
                got += uint32_t(n);
            }
            if (write(server, reply, 2) != 2)
                return;
        }
    });
    std::vector<uint8_t> out(request, 0x5A);
    std::vector<double> times;
    for (int r = 0; r < rounds; r++) {
        auto t0 = Clock::now();
        if (write(client, out.data(), request) != ssize_t(request))
            break;
        uint8_t reply[2];
        uint32_t got = 0;
        while (got < 2) {
            ssize_t n = read(client, reply + got, 2 - got);
            if (n <= 0)
                break;
            got += uint32_t(n);
        }
        if (got < 2)
            break;
        times.push_back(_seconds(t0, Clock::now()));
    }
    shutdown(client, SHUT_RDWR);
    peer.join();
    close(client);
    close(server);
    if (times.size() < 100)
        return 0;
    std::sort(times.begin() + 20, times.end()); // the first ones warm up
    return times[20 + (times.size() - 20) / 2];
}

// Median SYNC round trip on the module's link, seconds: the median, as a
// floor should not take in what other work on the machine adds now and then.
double _round_trip(Module &module)
{
    uint8_t address;
    for (int i = 0; i < 20; i++)
        module.getLink()->getModuleAddress(&address);
    std::vector<double> times;
    for (int i = 0; i < 300; i++) {
        auto t0 = Clock::now();
        if (module.getLink()->getModuleAddress(&address) == vErrNone)
            times.push_back(_seconds(t0, Clock::now()));
    }
    if (times.empty())
        return 0;
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// What a transport costs per exchange: the link's round trip, and the extra
// time of a request of N bytes over a SYNC probe's two (0 where not measured).
struct Transport {
    const char *name;
    double rtt = 0;
    double data_extra = 0; // one 26-byte DATA packet
    double run_extra = 0;  // one byte-array run
};

struct Figures {
    double transfer = 0;
    double stage = 0;
    double floor = 0;
    uint32_t code = 0;
};

// The firmware stage on a connected module whose loader runs already.
bool _firmware_stage(Module &module, BirdFile &bird, bool bytes, const Transport &transport, Figures &out)
{
    // The floor: the capability queries of the byte-array path, then per block
    // one PREPARE and per run of up to block-size bytes the data, one SUM and
    // one WRITE. A byte-array run is one exchange whose request is the run's
    // ~43 packets; its wire time counts beside the round trip, measured as a
    // raw loopback exchange of as many bytes, so the floor does not credit the
    // path for bytes it must move anyway.
    double floor = bytes ? 2 * transport.rtt : 0;
    uint32_t code = 0;
    for (const BirdBlock &b : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
        uint32_t n = b.CodeLength();
        code += n;
        floor += transport.rtt;
        for (uint32_t at = 0; at < n; at += kBlockSize) {
            uint32_t run = std::min(kBlockSize, n - at);
            if (bytes)
                floor += transport.rtt + transport.run_extra;
            else
                floor += ((run + 25) / 26) * (transport.rtt + transport.data_extra);
            floor += 2 * transport.rtt;
        }
    }
    Quiet display;
    auto t0 = Clock::now();
    vErr err = _transfer_firmware(display, module, bird, false, bytes);
    auto t1 = Clock::now();
    if (err != vErrNone || !display.seen) {
        std::fprintf(stderr, "firmware stage failed: %d\n", err);
        return false;
    }
    out.transfer = _seconds(t0, display.transferred);
    out.stage = _seconds(t0, t1);
    out.floor = floor;
    out.code = code;
    return true;
}

void _print(const std::string &name, const Figures &f)
{
    std::printf("BENCH %s %.4f s floor %.4f s ratio %.2f\n", name.c_str(), f.transfer, f.floor,
                f.transfer / f.floor);
    std::printf("BENCH %s_rate %.0f B/s floor %.0f B/s ratio %.2f\n", name.c_str(), f.code / f.transfer,
                f.code / f.floor, f.transfer / f.floor);
    std::printf("BENCH %s_stage %.4f s floor %.4f s ratio %.2f\n", name.c_str(), f.stage, f.floor,
                f.stage / f.floor);
}

void _print_speedup(const std::string &suffix, const Figures (&f)[2])
{
    if (f[0].transfer > 0 && f[1].transfer > 0)
        std::printf("BENCH update_256k_bytes_speedup%s %.2f x floor 1.00 x ratio %.2f\n", suffix.c_str(),
                    f[1].transfer / f[0].transfer, f[1].transfer / f[0].transfer);
}

std::string _write_config(const std::string &tmp, const std::string &devices)
{
    std::string config = tmp + "/sim.json";
    FILE *f = std::fopen(config.c_str(), "w");
    if (!f)
        return "";
    std::fprintf(f, "{\"devices\": [%s]}", devices.c_str());
    std::fclose(f);
    return config;
}

std::string _device(uint32_t serial, int latency_us, bool usb)
{
    char text[256];
    std::snprintf(text, sizeof text,
                  "{\"serial\": \"0x%08X\", \"uei_data\": true, \"block_size\": %u, \"reboot_ms\": 50, "
                  "\"faults\": {\"latency_us\": %d}%s}",
                  serial, kBlockSize, latency_us, usb ? ", \"usb\": true" : "");
    return text;
}

// --- TCP loopback ----------------------------------------------------------

void _run_tcp(const std::string &tmp, const std::string &image, int latency_us)
{
    Transport transport{"tcp"};
    double raw_probe = _raw_round_trip(2);
    transport.data_extra = std::max(0.0, _raw_round_trip(2 + 28) - raw_probe);
    transport.run_extra = std::max(0.0, _raw_round_trip(_uei_run_wire(kBlockSize)) - raw_probe);
    Figures figures[2];
    for (int path = 0; path < 2; path++) {
        fixtures::SimProcess sim;
        if (!sim.Start({"--config", _write_config(tmp, _device(kSerial, latency_us, false))})) {
            std::fprintf(stderr, "bench_update: %s\n", sim.Error().c_str());
            return;
        }
        Quiet display;
        BirdFile bird(image);
        Module module(2, uint8_t(0));
        _disableEther(module, display);
        linkSpec spec{};
        spec.type = linkTypeTCPIP;
        spec.serialNumber = kSerial;
        spec.transport.ip.address = htonl(INADDR_LOOPBACK);
        spec.transport.ip.port = sim.Port("tcp:0012ABCD");
        if (module.connectFromSpec(spec) != vErrNone || _transfer_loader(display, module, bird) != vErrNone) {
            std::fprintf(stderr, "loader stage failed\n");
            return;
        }
        transport.rtt = _round_trip(module);
        if (!_firmware_stage(module, bird, path == 0, transport, figures[path]))
            return;
        _print(std::string("update_256k_") + kPaths[path] + (latency_us ? "_1ms" : ""), figures[path]);
    }
    _print_speedup(latency_us ? "_1ms" : "", figures);
}

// --- emulated USB bus --------------------------------------------------------

// One simulated USB device per path and latency, serials kSerial + 1 ...
uint32_t _usb_serial(int path, int latency_us)
{
    return kSerial + 1 + uint32_t(path) + (latency_us ? 2 : 0);
}

// Runs under the bus: the devices are there from the start.
int _run_usb_devices(const std::string &image)
{
    for (int latency_us : {0, 1000}) {
        Figures figures[2];
        for (int path = 0; path < 2; path++) {
            uint32_t serial = _usb_serial(path, latency_us);
            Quiet display;
            BirdFile bird(image);
            Module module(2, uint8_t(0));
            _disableEther(module, display);
            if (module.connect(linkTypeUSB, serial) != vErrNone ||
                _transfer_loader(display, module, bird) != vErrNone) {
                std::fprintf(stderr, "loader stage over USB failed\n");
                return 1;
            }
            // The bus offers nothing below the link to time the wire alone
            // without taking the device from it, so over USB the floor counts
            // round trips only.
            Transport transport{"usb"};
            transport.rtt = _round_trip(module);
            if (!_firmware_stage(module, bird, path == 0, transport, figures[path]))
                return 1;
            _print(std::string("update_256k_usb_") + kPaths[path] + (latency_us ? "_1ms" : ""), figures[path]);
        }
        _print_speedup(latency_us ? "_usb_1ms" : "_usb", figures);
    }
    return 0;
}

// Runs this program again under the simulator's bus and passes its BENCH
// lines on; says why when the bus cannot be had.
void _run_usb(const std::string &tmp, const std::string &image)
{
    std::string devices;
    for (int latency_us : {0, 1000})
        for (int path = 0; path < 2; path++)
            devices += (devices.empty() ? "" : ", ") + _device(_usb_serial(path, latency_us), latency_us, true);
    std::string config = _write_config(tmp, devices);
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0 || config.empty())
        return;
    self[n] = 0;
    fixtures::Child run;
    fixtures::SpawnOptions options;
    options.merge_err = true;
    if (!run.Start(fixtures::SimProcess::Under({"--config", config}, {self, "--usb-under-bus", image}), options)) {
        std::fprintf(stderr, "bench_update: USB part skipped: %s\n", run.Error().c_str());
        return;
    }
    bool measured = false;
    std::string rest, line;
    // The transfers take seconds each; a run silent for minutes is stuck.
    while (run.ReadLine(&line, 300000)) {
        if (line.compare(0, 6, "BENCH ") == 0) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            measured = true;
        } else if (line.compare(0, 6, "READY ") != 0) {
            rest += line + "\n";
        }
    }
    int status = run.Stop(SIGTERM, 10000);
    if (!measured)
        std::fprintf(stderr, "bench_update: USB part skipped: the emulated USB bus is not usable (%s)\n",
                     rest.empty() ? "corvantis-sim failed" : rest.substr(0, rest.find('\n')).c_str());
    else if (status != 0)
        std::fprintf(stderr, "bench_update: USB part incomplete:\n%s", rest.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0); // lines in order with the child's, when piped
    if (argc == 3 && std::strcmp(argv[1], "--usb-under-bus") == 0)
        return _run_usb_devices(argv[2]);
    fixtures::TempDir tmp;
    std::string image = tmp / "img.bird";
    fixtures::Child make_bird;
    fixtures::SpawnOptions quiet;
    quiet.capture_out = false;
    if (!make_bird.Start({"python3", fixtures::SourceDir() + "/tools/make-bird", "-o", image, "--loader-size", "512",
                          "--firmware-size", "262144", "--serial", "0012ABCD", "--model", "Hub 4 Pro"},
                         quiet) ||
        make_bird.Wait(120000) != 0) {
        std::fprintf(stderr, "make-bird failed\n");
        return 1;
    }
    _run_tcp(tmp.path(), image, 0);
    _run_tcp(tmp.path(), image, 1000);
    _run_usb(tmp.path(), image);
    return 0;
}
