#include "sim/usb/UsbSim.h"

#include "sim/SimNetwork.h"
#include "sim/SimPacket.h"

#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cvsim {

namespace {

using json = nlohmann::json;

std::string Serial_Text(uint32_t serial) {
    char b[16];
    snprintf(b, sizeof b, "%08X", serial);
    return b;
}

// The simulator's device model behind the bulk endpoints: the host's bytes
// are read as counted packets, the answers go back in their wire form.
class SimUsbModel : public UsbDeviceModel {
public:
    explicit SimUsbModel(const DeviceConfig &cfg) : net_(cfg) {}

    Effect Out(const uint8_t *bytes, size_t count, std::vector<uint8_t> &in) override {
        std::vector<Inbound> packets;
        reader_.Feed(bytes, count, packets);
        net_.Root().Count_Write(packets.size());
        Clock::time_point now = Clock::now();
        Effect effect;
        for (const Inbound &p : packets) {
            NetOut o;
            net_.Handle(p, now, o);
            for (const NetOut::Reply &r : o.replies) {
                if (r.from->Count_Reply()) {
                    const auto &g = r.from->Config().faults.garbage_bytes;
                    in.insert(in.end(), g.begin(), g.end());
                }
                std::vector<uint8_t> wire = r.packet.Wire();
                in.insert(in.end(), wire.begin(), wire.end());
            }
            if (o.link == DeviceOut::Link::Gone) {
                effect.kind = Effect::Gone;
                break;
            }
            if (o.link == DeviceOut::Link::Drop) {
                // The device restarts: it leaves the bus and comes back when
                // it answers again.
                effect.kind = Effect::Rejoin;
                auto away = net_.Root().Away_Until() - now;
                long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(away).count());
                effect.away_ms = ms > 0 ? uint32_t(ms) : 1;
                break;
            }
        }
        return effect;
    }
    uint32_t Tick_Ms() const override { return net_.Root().Config().heartbeat_ms; }
    void Tick(std::vector<uint8_t> &in) override {
        Device &root = net_.Root();
        if (root.Away(Clock::now()))
            return;
        Packet hb = root.Heartbeat();
        root.Stats().packets_out++;
        std::vector<uint8_t> wire = hb.Wire();
        in.insert(in.end(), wire.begin(), wire.end());
    }
    void Reset() override {
        framing_errors_ += reader_.Framing_Errors();
        reader_ = RawReader();
        net_.Root().Stats().connections++;
    }
    void Refused() override { net_.Root().Stats().refused++; }

    const Network &Net() const { return net_; }
    uint64_t Framing_Errors() const { return framing_errors_ + reader_.Framing_Errors(); }

private:
    Network net_;
    RawReader reader_;
    uint64_t framing_errors_ = 0;  // of the sessions before this one
};

const SimUsbModel &Sim_Model(const UsbDeviceModel &m) { return static_cast<const SimUsbModel &>(m); }

uint32_t Number(const std::string &where, const json &v, uint64_t max) {
    if (!v.is_number_unsigned() || v.get<uint64_t>() > max)
        throw ConfigError(where + ": expected a number from 0 to " + std::to_string(max));
    return uint32_t(v.get<uint64_t>());
}

bool Flag(const std::string &where, const json &v) {
    if (!v.is_boolean())
        throw ConfigError(where + ": expected true or false");
    return v.get<bool>();
}

// A serial number as the READY line and status show it: hexadecimal, with or
// without 0x; base 10 for counts.
uint32_t Word(const std::string &text, int base) {
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text.c_str(), &end, base);
    if (text.empty() || *end || errno || v > 0xFFFFFFFFul)
        throw ConfigError("bad number " + text);
    return uint32_t(v);
}

}  // namespace

UsbSimOptions Parse_Usb_Options(const DeviceConfig &cfg) {
    UsbSimOptions o;
    o.device.serial = cfg.serial;
    o.device.model = cfg.model;
    o.device.product_name = cfg.name.empty() ? "Corvantis device" : cfg.name;
    if (cfg.usb_options.empty())
        return o;
    json j = json::parse(cfg.usb_options, nullptr, false);
    std::string where = "device " + Serial_Text(cfg.serial) + ".usb";
    if (j.is_boolean())
        return o;
    if (!j.is_object())
        throw ConfigError(where + ": expected true or an object");
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string &k = it.key();
        const json &v = it.value();
        std::string w = where + "." + k;
        if (k == "kernel_node")
            o.device.kernel_node = Flag(w, v);
        else if (k == "product_id")
            o.device.product_id = uint16_t(Number(w, v, 0xFFFF));
        else if (k == "vendor_id")
            o.device.vendor_id = uint16_t(Number(w, v, 0xFFFF));
        else if (k == "serial_text") {
            if (!v.is_string())
                throw ConfigError(w + ": expected a text");
            o.device.serial_text = v.get<std::string>();
        } else if (k == "interface_class")
            o.device.interface_class = uint8_t(Number(w, v, 255));
        else if (k == "no_in_endpoint")
            o.device.no_in_endpoint = Flag(w, v);
        else if (k == "no_out_endpoint")
            o.device.no_out_endpoint = Flag(w, v);
        else if (k == "max_packet")
            o.device.max_packet = uint16_t(Number(w, v, 1024));
        else if (k == "rejoin_serial")
            o.device.rejoin_serial = Number(w, v, 0xFFFFFFFFu);
        else if (k == "in_use")
            o.in_use = Flag(w, v);
        else
            throw ConfigError(where + ": unknown key \"" + k + "\"");
    }
    return o;
}

bool Usb_Wanted(const SimConfig &cfg) {
    for (const DeviceConfig &d : cfg.devices)
        if (d.transport == "usb")
            return true;
    return false;
}

UsbSim::UsbSim(const SimConfig &cfg) {
    std::vector<std::pair<UsbSimOptions, const DeviceConfig *>> wanted;
    for (const DeviceConfig &d : cfg.devices)
        if (d.transport == "usb")
            wanted.emplace_back(Parse_Usb_Options(d), &d);
    bus_ = std::make_unique<UsbBus>();
    for (auto &w : wanted) {
        int id = bus_->Add(w.first.device, std::make_unique<SimUsbModel>(*w.second));
        if (w.first.in_use)
            bus_->Set_In_Use(id, true);
        ids_[w.second->serial] = id;
        order_.emplace_back(w.second->serial, id);
    }
}

UsbSim::~UsbSim() = default;

void UsbSim::Status(Clock::time_point now, json &devices) const {
    for (const auto &entry : order_) {
        bus_->Inspect(entry.second, [&](const UsbDeviceModel &m, const UsbBus::Presence &p) {
            const SimUsbModel &model = Sim_Model(m);
            const auto &all = model.Net().Devices();
            for (size_t i = 0; i < all.size(); i++) {
                json j = all[i]->Status(now);
                j["endpoint"] = "usb:" + p.devnode;
                if (i > 0) {
                    j["router_serial"] = Serial_Text(all[0]->Serial());
                } else {
                    j["sessions"] = p.claimed ? 1 : 0;
                    j["unrouted"] = model.Net().Unrouted();
                    j["framing_errors"] = model.Framing_Errors();
                    j["listening"] = p.present;
                }
                devices.push_back(j);
            }
        });
    }
}

bool UsbSim::Dump(uint32_t serial, json &dump) const {
    bool found = false;
    for (const auto &entry : order_) {
        bus_->Inspect(entry.second, [&](const UsbDeviceModel &m, const UsbBus::Presence &) {
            for (const auto &d : Sim_Model(m).Net().Devices()) {
                if (d->Serial() == serial && !found) {
                    dump = d->Dump();
                    found = true;
                }
            }
        });
        if (found)
            return true;
    }
    return false;
}

std::vector<uint32_t> UsbSim::Serials() const {
    std::vector<uint32_t> serials;
    for (const auto &entry : order_)
        bus_->Inspect(entry.second, [&](const UsbDeviceModel &m, const UsbBus::Presence &) {
            for (const auto &d : Sim_Model(m).Net().Devices())
                serials.push_back(d->Serial());
        });
    return serials;
}

std::string UsbSim::Ready_Part() const {
    std::string s;
    for (const auto &kv : ids_)
        s += " usb:" + Serial_Text(kv.first) + "=" + bus_->Devnode(kv.second);
    s += " usbenv=";
    bool first = true;
    for (const auto &kv : bus_->Client_Env()) {
        s += (first ? "" : ",") + kv.first + "=" + kv.second;
        first = false;
    }
    return s;
}

std::string UsbSim::Control(const std::vector<std::string> &words) {
    auto err = [](const std::string &e) { return json{{"error", e}}.dump(); };
    const char *usage = "usb leave|rejoin|hold|fail|clear|stats SERIAL ...";
    if (words.size() < 3)
        return err(std::string("usage: ") + usage);
    uint32_t serial;
    try {
        serial = Word(words[2], 16);
    } catch (const ConfigError &e) {
        return err(e.what());
    }
    auto it = ids_.find(serial);
    if (it == ids_.end())
        return err("no usb device " + words[2]);
    int id = it->second;
    const std::string &cmd = words[1];
    json ok = {{"ok", true}};
    if (cmd == "leave" && words.size() == 3) {
        bus_->Leave(id);
    } else if (cmd == "rejoin" && words.size() <= 4) {
        uint32_t as = 0;
        if (words.size() == 4) {
            try {
                as = Word(words[3], 16);
            } catch (const ConfigError &e) {
                return err(e.what());
            }
        }
        bus_->Rejoin(id, as);
    } else if (cmd == "hold" && words.size() == 4 && (words[3] == "on" || words[3] == "off")) {
        bus_->Set_In_Use(id, words[3] == "on");
    } else if (cmd == "fail" && (words.size() == 4 || words.size() == 5)) {
        static const std::map<std::string, UsbFault> kinds = {{"stall-in", UsbFault::StallIn},
                                                              {"stall-out", UsbFault::StallOut},
                                                              {"io-in", UsbFault::IoIn},
                                                              {"io-out", UsbFault::IoOut}};
        auto k = kinds.find(words[3]);
        if (k == kinds.end())
            return err("fail kinds: stall-in, stall-out, io-in, io-out");
        uint32_t count = 0;
        if (words.size() == 5) {
            try {
                count = Word(words[4], 10);
            } catch (const ConfigError &) {
                return err("bad count " + words[4]);
            }
        }
        bus_->Fail(id, k->second, count);
    } else if (cmd == "clear" && words.size() == 3) {
        bus_->Clear_Faults(id);
    } else if (cmd == "stats" && words.size() == 3) {
        UsbBus::Stats st = bus_->Device_Stats(id);
        return json{{"present", bus_->Present(id)},
                    {"out_urbs", st.out_urbs},
                    {"in_urbs", st.in_urbs},
                    {"control_urbs", st.control_urbs},
                    {"out_bytes", st.out_bytes},
                    {"in_bytes", st.in_bytes},
                    {"claims", st.claims},
                    {"refused_claims", st.refused_claims},
                    {"clear_halts", st.clear_halts},
                    {"reaps_held", st.reaps_held}}
            .dump();
    } else {
        return err(std::string("usage: ") + usage);
    }
    return ok.dump();
}

pid_t Usb_Start_Command(const std::vector<std::string> &argv,
                        const std::vector<std::pair<std::string, std::string>> &env) {
    if (argv.empty())
        return -1;
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        for (const auto &kv : env)
            setenv(kv.first.c_str(), kv.second.c_str(), 1);
        unsetenv("CORVANTIS_USB_REEXEC");
        // The simulator blocks these for its signalfd; the command must not inherit that.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        execvp(args[0], args.data());
        fprintf(stderr, "corvantis-sim: cannot run %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    if (pid < 0)
        fprintf(stderr, "corvantis-sim: fork: %s\n", strerror(errno));
    return pid;
}

int Usb_Wait_Command(pid_t pid) {
    if (pid <= 0)
        return 127;
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0) {
        if (errno != EINTR)
            return 127;
    }
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : WIFSIGNALED(ws) ? 128 + WTERMSIG(ws) : 1;
}

}  // namespace cvsim
