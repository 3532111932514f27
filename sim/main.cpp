// corvantis-sim: simulated devices of the Corvantis family for tests and demos.
#include "sim/SimServer.h"
#include "sim/usb/UsbSim.h"

#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace {

const char kUsage[] =
    "usage: corvantis-sim [--config FILE] [--device SPEC]... [--control PATH]\n"
    "                     [--dump-dir DIR] [--discovery IPV4]\n"
    "  --config FILE     devices described in a JSON file (see sim/README.md)\n"
    "  --device SPEC     one device: serial=N[,model=N][,address=N][,router=N]\n"
    "                    [,version=X.Y.Z][,build=N][,name=TEXT][,features=N]\n"
    "                    [,heartbeat=MS][,tcp=ADDR:PORT | ,pty | ,usb]\n"
    "  --control PATH    Unix socket answering status, dump and quit\n"
    "  --dump-dir DIR    write each device's received blocks there at exit\n"
    "  --discovery IPV4  answer the network discovery query on that interface\n"
    "  -- COMMAND...     run COMMAND with the USB bus, then end with its exit status\n"
    "Prints one READY line with every endpoint, then serves until SIGTERM or SIGINT.\n";

}  // namespace

int main(int argc, char **argv) {
    cvsim::SimConfig cfg;
    std::vector<std::string> command;
    try {
        for (int i = 1; i < argc; i++) {
            std::string a = argv[i];
            if (a == "--") {
                command.assign(argv + i + 1, argv + argc);
                if (command.empty())
                    throw cvsim::ConfigError("-- needs a command");
                break;
            }
            auto value = [&]() -> std::string {
                if (i + 1 >= argc)
                    throw cvsim::ConfigError(a + " needs a value");
                return argv[++i];
            };
            if (a == "-h" || a == "--help") {
                std::fputs(kUsage, stdout);
                return 0;
            } else if (a == "--config") {
                std::string path = value();
                std::ifstream f(path);
                if (!f)
                    throw cvsim::ConfigError("cannot read " + path);
                std::stringstream ss;
                ss << f.rdbuf();
                cvsim::SimConfig file = cvsim::Parse_Config_Json(ss.str());
                cfg.devices.insert(cfg.devices.end(), file.devices.begin(), file.devices.end());
                if (!file.control_path.empty())
                    cfg.control_path = file.control_path;
                if (!file.dump_dir.empty())
                    cfg.dump_dir = file.dump_dir;
                if (!file.discovery_interface.empty())
                    cfg.discovery_interface = file.discovery_interface;
            } else if (a == "--device") {
                cfg.devices.push_back(cvsim::Parse_Device_Option(value()));
            } else if (a == "--control") {
                cfg.control_path = value();
            } else if (a == "--dump-dir") {
                cfg.dump_dir = value();
            } else if (a == "--discovery") {
                cfg.discovery_interface = value();
            } else {
                throw cvsim::ConfigError("unknown option " + a);
            }
        }
        cvsim::Validate_Config(cfg);
    } catch (const cvsim::ConfigError &e) {
        std::fprintf(stderr, "corvantis-sim: %s\n%s", e.what(), kUsage);
        return 2;
    }
    // The emulated USB bus needs this process under libumockdev-preload.
    if (cvsim::Usb_Wanted(cfg))
        cvsim::Usb_Preload_Reexec(argc, argv);

    // The event loop takes these signals through a signalfd.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        std::unique_ptr<cvsim::UsbSim> usb;
        if (cvsim::Usb_Wanted(cfg))
            usb = std::make_unique<cvsim::UsbSim>(cfg);
        cvsim::Server server(cfg);
        if (usb) {
            server.Add_Control_Commands("usb", [&usb](const std::vector<std::string> &w) { return usb->Control(w); });
            server.Add_Devices(usb.get());
        }
        server.Start();
        std::printf("%s%s\n", server.Ready_Line().c_str(), usb ? usb->Ready_Part().c_str() : "");
        std::fflush(stdout);
        if (command.empty())
            return server.Run();
        // The command ends the simulator; its exit status is ours.
        std::vector<std::pair<std::string, std::string>> env;
        if (usb)
            env = usb->Bus().Client_Env();
        pid_t pid = cvsim::Usb_Start_Command(command, env);
        int status = 127;
        std::atomic<bool> finished{false};
        std::thread waiter([pid, &status, &finished] {
            status = cvsim::Usb_Wait_Command(pid);
            finished = true;
            kill(getpid(), SIGTERM);
        });
        int rc = server.Run();
        if (pid > 0 && !finished)
            kill(pid, SIGTERM);  // stopped from outside: the command goes too
        waiter.join();
        return rc == 0 ? status : rc;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "corvantis-sim: %s\n", e.what());
        return 1;
    }
}
