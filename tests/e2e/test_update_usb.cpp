// updater -D and -U on corvantis-sim's emulated USB bus: a device held by
// another program shows as in use, and an update survives the device leaving
// the bus to run its loader and rejoining at a new device number.
#include "tests/sim/sim_process.h"
#include "tests/support/fixtures.h"

#include <gtest/gtest.h>

using fixtures::TempDir;
using nlohmann::json;

namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

// The updater with the bus environment of the READY line.
Result Updater(const simtest::Sim &sim, const std::string &store, std::vector<std::string> args)
{
    std::string env = sim.Endpoint("usbenv");
    std::vector<std::string> argv = {"env", "ASAN_OPTIONS=verify_asan_link_order=0"};
    size_t at = 0;
    while (at <= env.size()) {
        size_t comma = env.find(',', at);
        argv.push_back(env.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    argv.push_back(fixtures::BuildDir() + "/updater");
    argv.push_back("-i");
    argv.push_back(store);
    argv.insert(argv.end(), args.begin(), args.end());
    Result r;
    r.status = fixtures::Run(argv, &r.out, &r.err, 150);
    return r;
}

TEST(UpdateUSB, DiscoverWithADeviceInUseThenUpdateAcrossTheLoaderRestart)
{
    TempDir dir;
    json config = {{"control", dir / "sim.sock"},
                   {"devices", json::array({{{"serial", "0x0012ABCD"}, {"usb", true}, {"version", "2.12.4"},
                                             {"build", 900}, {"load_drops_link", true}},
                                            {{"serial", "0x00C0FFEE"}, {"usb", {{"in_use", true}}}}})}};
    fixtures::WriteFile(dir / "sim.json", config.dump());
    simtest::Sim sim({"--config", dir / "sim.json"});
    ASSERT_NE(sim.Endpoint("usbenv"), "") << sim.Ready();
    std::string before = sim.Endpoint("usb:0012ABCD");

    Result d = Updater(sim, dir / "store", {"-D", "-t", "USB"});
    EXPECT_EQ(d.status, 0) << d.err;
    EXPECT_NE(d.out.find("    0012ABCD  02       00      Hub 4 Pro      2.12.4 (       900)"), std::string::npos)
        << d.out;
    EXPECT_NE(d.out.find("    00C0FFEE  [Error (25): Device in use. Close all other Velquire associated applications.]"),
              std::string::npos)
        << d.out;

    std::string image = fixtures::MakeBird(dir / "img.bird", {"--loader-size", "200", "--firmware-size", "3000",
                                                              "--build", "1300", "--version",
                                                              "2.15.1", "--serial", "0012ABCD", "--model",
                                                              "Hub 4 Pro", "--sim-header"});
    Result u = Updater(sim, dir / "store", {"-U", "-d", "0012ABCD", "-f", image});
    EXPECT_EQ(u.status, 0) << u.out << u.err;
    // The device left the bus to run its loader and came back at a new number.
    EXPECT_NE(u.out.find("Starting Load on Device"), std::string::npos) << u.out;
    // It restarts once more after the update; give it a few seconds to rejoin.
    Result again;
    for (int i = 0; i < 50; i++) {
        again = Updater(sim, dir / "store", {"-D", "-t", "USB"});
        if (again.out.find("0012ABCD") != std::string::npos)
            break;
        usleep(100000);
    }
    EXPECT_NE(again.out.find("    0012ABCD  02       00      Hub 4 Pro      2.15.1 (      1300)"), std::string::npos)
        << again.out;
}

} // namespace
