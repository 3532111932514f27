// corvantis-sim's emulated USB bus used as a user would: a client program of
// the device library runs under the simulator ("-- COMMAND") or separately
// with the environment the READY line names, against the system's libusb.
#include "tests/support/sim.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace {

using simtest::Sim;
using fixtures::TempDir;

std::string Client()
{
    return fixtures::BuildDir() + "/tests/usb_client";
}

using Result = fixtures::RunResult;

// Runs argv with extra environment ("NAME=VALUE"), collecting standard output.
Result Exec(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
    fixtures::RunOptions options;
    options.env = env;
    options.hang_seconds = 60;
    return fixtures::Run(args, options);
}

const char kDevices[] = R"({"devices": [
  {"serial": "0x0000A001", "model": 13, "usb": true},
  {"serial": "0x0000A002", "model": 14, "usb": {"product_id": 33038}},
  {"serial": "0x0000A003", "usb": {"serial_text": "A003"}},
  {"serial": "0x0000A004", "usb": {"product_id": 32767}},
  {"serial": "0x0000A005", "usb": {"kernel_node": true}},
  {"serial": "0x0000A006", "usb": {"no_in_endpoint": true}},
  {"serial": "0x0000A007", "usb": {"interface_class": 3}},
  {"serial": "0x0000A008", "usb": {"in_use": true}},
  {"serial": "0x0000B001", "tcp": "127.0.0.1:0"}
]})";

TEST(UsbSimBus, CommandRunsUnderTheBusAndItsStatusIsKept)
{
    TempDir dir;
    std::string cfg = dir.write("devices.json", kDevices);
    Result list = Exec(Sim::Under({"--config", cfg}, {Client(), "list"}));
    EXPECT_EQ(list.status, 0) << list.out;
    // The READY line comes first, then the client's list: the family's devices
    // with eight-digit serials only (model from the product ID's low byte).
    std::istringstream lines(list.out);
    std::string ready, line;
    std::getline(lines, ready);
    EXPECT_EQ(ready.rfind("READY", 0), 0u) << ready;
    EXPECT_NE(ready.find(" usb:0000A001=/dev/bus/usb/001/"), std::string::npos) << ready;
    EXPECT_NE(ready.find(" tcp:0000B001=127.0.0.1:"), std::string::npos) << ready;
    std::set<std::string> seen;
    while (std::getline(lines, line))
        seen.insert(line);
    EXPECT_EQ(seen, (std::set<std::string>{"0000A001 13", "0000A002 14", "0000A005 13", "0000A006 13",
                                           "0000A007 13", "0000A008 13"}));

    EXPECT_EQ(Exec(Sim::Under({"--config", cfg}, {Client(), "exit", "3"})).status, 3);
    EXPECT_EQ(Exec(Sim::Under({"--config", cfg}, {"/nonexistent/program"})).status, 127);
}

TEST(UsbSimBus, SeparateProcessesSeeTheBusAndItsFaults)
{
    TempDir dir;
    std::string cfg = dir.write("devices.json", kDevices);
    Sim sim({"--config", cfg, "--control", dir / "control"});
    std::vector<std::string> env = sim.UsbEnv();
    ASSERT_EQ(env.size(), 2u) << sim.Ready();

    Result echo = Exec({Client(), "echo", "0000A001"}, env);
    EXPECT_EQ(echo.status, 0) << echo.out;
    EXPECT_EQ(echo.out, "echo ok\n");

    struct Case {
        const char *serial;
        const char *expected;
    } opens[] = {
        {"0000A005", "kernel vErrNone\n"},
        {"0000A006", "libusb vErrConfiguration\n"},
        {"0000A007", "libusb vErrConfiguration\n"},
        {"0000A008", "libusb vErrBusy\n"},
        {"0000A004", "libusb vErrNotFound\n"},
        {"0000C0DE", "libusb vErrNotFound\n"},
    };
    for (const Case &c : opens)
        EXPECT_EQ(Exec({Client(), "open", c.serial}, env).out, c.expected) << c.serial;
    EXPECT_EQ(Exec({Client(), "echo", "0000A005"}, env).out, "echo ok\n"); // through the kernel node

    // Held, then free again.
    EXPECT_EQ(sim.Control("usb hold 0000A001 on")["ok"], true);
    EXPECT_EQ(Exec({Client(), "open", "0000A001"}, env).out, "libusb vErrBusy\n");
    EXPECT_EQ(sim.Control("usb hold 0000A001 off")["ok"], true);

    // A stall and a few I/O errors on the way do not stop the exchange.
    EXPECT_EQ(sim.Control("usb fail 0000A001 stall-out 1")["ok"], true);
    EXPECT_EQ(sim.Control("usb fail 0000A001 io-in 2")["ok"], true);
    EXPECT_EQ(Exec({Client(), "echo", "0000A001"}, env).out, "echo ok\n");
    nlohmann::json st = sim.Control("usb stats 0000A001");
    EXPECT_GE(st["clear_halts"].get<int>(), 1) << st.dump();

    // Leaving and rejoining as the unknown device.
    EXPECT_EQ(sim.Control("usb leave 0000A001")["ok"], true);
    EXPECT_EQ(Exec({Client(), "open", "0000A001"}, env).out, "libusb vErrNotFound\n");
    EXPECT_EQ(sim.Control("usb rejoin 0000A001 0xDEADDEAD")["ok"], true);
    std::string listed = Exec({Client(), "list"}, env).out;
    EXPECT_NE(listed.find("DEADDEAD 13\n"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("0000A001"), std::string::npos) << listed;

    EXPECT_NE(sim.Control("usb fail 0000A002 melt")["error"], nullptr);
    EXPECT_NE(sim.Control("usb leave 0000B001")["error"], nullptr); // not on the bus
    EXPECT_EQ(sim.Stop(), 0);
}

} // namespace
