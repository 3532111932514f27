// Firmware stage of an update (256 KiB image) against corvantis-sim over TCP
// loopback, by byte arrays and by 26-byte DATA packets, each beside its
// protocol floor measured in the same run: the request/reply exchanges the
// transfer needs times the raw link round trip (a SYNC probe). Repeated with
// the simulator adding 1 ms before every reply.
#include "app/UpdaterDisplayInterface.h"
#include "device/Module.h"
#include "store/BirdFile.h"
#include "updater/UpdaterSteps.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace Velquire::Corvantis;
using Clock = std::chrono::steady_clock;

namespace {

const uint32_t kSerial = 0x0012ABCD;
const uint32_t kImageBytes = 256 * 1024;
const uint32_t kBlockSize = 1024;

class Quiet : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char *) override {}
    void update_spinner(bool, const char *) override {}
    void info_message(const char *) override {}
    void error_message(const char *t) override { std::fprintf(stderr, "%s\n", t); }
};

struct Sim {
    pid_t pid = -1;
    uint16_t port = 0;
    bool start(const std::string &exe, const std::string &config)
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(out[1], 1);
            execl(exe.c_str(), exe.c_str(), "--config", config.c_str(), (char *)nullptr);
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c;
        pollfd p = {out[0], POLLIN, 0};
        while (poll(&p, 1, 10000) == 1 && read(out[0], &c, 1) == 1 && c != '\n')
            line.push_back(c);
        close(out[0]);
        size_t colon = line.rfind(':');
        if (line.rfind("READY", 0) != 0 || colon == std::string::npos)
            return false;
        port = uint16_t(std::atoi(line.c_str() + colon + 1));
        return port != 0;
    }
    ~Sim()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

bool _connect(Module &module, uint16_t port, Quiet &display)
{
    _disableEther(module, display);
    linkSpec spec{};
    spec.type = linkTypeTCPIP;
    spec.serialNumber = kSerial;
    spec.transport.ip.address = htonl(INADDR_LOOPBACK);
    spec.transport.ip.port = port;
    return module.connectFromSpec(spec) == vErrNone;
}

// Mean SYNC round trip on the module's link, seconds.
double _round_trip(Module &module)
{
    const int n = 300;
    uint8_t address;
    for (int i = 0; i < 20; i++)
        module.getLink()->getModuleAddress(&address);
    auto t0 = Clock::now();
    for (int i = 0; i < n; i++)
        module.getLink()->getModuleAddress(&address);
    return std::chrono::duration<double>(Clock::now() - t0).count() / n;
}

void _run(const std::string &build_dir, const std::string &tmp, const std::string &image, int latency_us)
{
    Quiet display;
    const char *paths[] = {"bytes", "packets"};
    double seconds[2] = {0, 0};
    for (int path = 0; path < 2; path++) {
        std::string config = tmp + "/sim.json";
        FILE *f = std::fopen(config.c_str(), "w");
        std::fprintf(f,
                     "{\"devices\": [{\"serial\": \"0x0012ABCD\", \"uei_data\": true, \"block_size\": %u, "
                     "\"reboot_ms\": 50, \"faults\": {\"latency_us\": %d}}]}",
                     kBlockSize, latency_us);
        std::fclose(f);
        Sim sim;
        if (!sim.start(build_dir + "/corvantis-sim", config)) {
            std::fprintf(stderr, "cannot start corvantis-sim\n");
            return;
        }
        BirdFile bird(image);
        Module module(2, uint8_t(0));
        if (!_connect(module, sim.port, display) || _transfer_loader(display, module, bird) != vErrNone) {
            std::fprintf(stderr, "loader stage failed\n");
            return;
        }
        double rtt = _round_trip(module);
        uint32_t code = 0;
        for (const BirdBlock &b : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE))
            code += b.CodeLength();
        uint32_t runs = (code + kBlockSize - 1) / kBlockSize;
        // Per block one PREPARE; per run the data, one SUM and one WRITE.
        uint32_t data = path == 0 ? runs : (code + 25) / 26;
        uint32_t exchanges = 1 + data + 2 * runs;
        auto t0 = Clock::now();
        vErr err = _transfer_firmware(display, module, bird, false, path == 0);
        double t = std::chrono::duration<double>(Clock::now() - t0).count();
        if (err != vErrNone) {
            std::fprintf(stderr, "firmware stage failed: %d\n", err);
            return;
        }
        seconds[path] = t;
        double floor = exchanges * rtt;
        std::string name = std::string("update_256k_") + paths[path] + (latency_us ? "_1ms" : "");
        std::printf("BENCH %s %.4f s floor %.4f s ratio %.2f\n", name.c_str(), t, floor, t / floor);
        std::printf("BENCH %s_rate %.0f B/s floor %.0f B/s ratio %.2f\n", name.c_str(), code / t, code / floor,
                    (code / floor) / (code / t));
    }
    if (seconds[0] > 0)
        std::printf("BENCH update_256k_bytes_speedup%s %.2f x floor 1.00 x ratio %.2f\n", latency_us ? "_1ms" : "",
                    seconds[1] / seconds[0], seconds[1] / seconds[0]);
}

} // namespace

int main()
{
    const char *b = std::getenv("UPDATER_BUILD_DIR");
    std::string build_dir = b ? b : ".";
    if (access((build_dir + "/corvantis-sim").c_str(), X_OK) != 0)
        build_dir = "..";
    const char *s = std::getenv("UPDATER_SOURCE_DIR");
    std::string source = s ? s : SOURCE_DIR;
    char tmpl[] = "/tmp/bench-update.XXXXXX";
    std::string tmp = mkdtemp(tmpl);
    std::string image = tmp + "/img.bird";
    std::string cmd = "python3 '" + source + "/tools/make-bird' -o '" + image +
                      "' --loader-size 512 --firmware-size 262144 --serial 0012ABCD --model 'Hub 4 Pro'";
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "make-bird failed\n");
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    _run(build_dir, tmp, image, 0);
    _run(build_dir, tmp, image, 1000);
    std::system(("rm -rf '" + tmp + "'").c_str());
    return 0;
}
