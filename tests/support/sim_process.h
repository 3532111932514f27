// The one launcher of corvantis-sim, for tests and benchmarks alike: start
// it, read its READY line and the endpoints it names, give other programs
// the environment of its emulated USB bus, ask its control socket, and stop
// it cleanly.
//
// The READY line is "READY" followed by KEY=VALUE words: "tcp:%08X=ADDR:PORT",
// "pty:%08X=PATH", "usb:%08X=DEVNODE", "control=PATH" and "usbenv=K=V,K=V".
#pragma once

#include "tests/support/process.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fixtures {

class SimProcess {
public:
    SimProcess() = default;
    // A simulator still running is stopped with SIGTERM (its bus and files
    // cleaned up by itself), killed when it does not end within 10 s.
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // The built program.
    static std::string Program();
    // argv that runs command under a simulator started with sim_args, on its
    // emulated bus ("corvantis-sim ARGS -- COMMAND").
    static std::vector<std::string> Under(const std::vector<std::string> &sim_args,
                                          const std::vector<std::string> &command);

    // Starts the simulator with args and, when read_ready, waits up to 10 s
    // for its READY line. False with Error() when either fails.
    bool Start(const std::vector<std::string> &args, bool read_ready = true);
    const std::string &Error() const { return error_; }

    const std::string &Ready() const { return ready_; }
    // "tcp:0000ABCD" -> "127.0.0.1:40000", "pty:..." -> path, "control" -> path.
    std::string Endpoint(const std::string &key) const;
    // The port of an "ADDR:PORT" endpoint; 0 when there is none.
    uint16_t Port(const std::string &key) const;
    // The "NAME=VALUE" entries another process needs to see the bus (empty
    // when the simulator has no USB devices).
    std::vector<std::string> UsbEnv() const;

    // One control command; its reply line, or false with Error().
    bool ControlLine(const std::string &command, std::string *reply) const;

    // Sends sig and waits up to timeout_ms: the exit status, or -1 when it
    // did not end (it is killed then).
    int Stop(int sig = SIGTERM, int timeout_ms = 10000) { return child_.Stop(sig, timeout_ms); }
    int Wait(int timeout_ms) { return child_.Wait(timeout_ms); }
    Child &Process() { return child_; }

private:
    Child child_;
    std::string ready_;
    mutable std::string error_;
    std::map<std::string, std::string> endpoints_;
};

}  // namespace fixtures
