// The simulator's transports and event loop: TCP listeners, pseudo-terminals
// with COBS framing, the network discovery responder and the control socket,
// all served by one thread waiting in ppoll().
#pragma once

#include "sim/SimConfig.h"
#include "sim/SimNetwork.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace cvsim {

// Devices served by a transport outside this loop (the emulated USB bus):
// status, dump and the dumps at exit cover them too. Called on the loop's
// thread; a source guards its devices against its own threads.
class DeviceSource {
public:
    virtual ~DeviceSource() = default;
    // Appends one status entry per device, as the loop's own devices have.
    virtual void Status(Clock::time_point now, nlohmann::json &devices) const = 0;
    // The dump of the device with that serial; false when it has none.
    virtual bool Dump(uint32_t serial, nlohmann::json &dump) const = 0;
    // Every device's serial, children included.
    virtual std::vector<uint32_t> Serials() const = 0;
};

class Server {
public:
    explicit Server(SimConfig cfg);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Opens every endpoint; throws std::runtime_error naming what failed.
    void Start();
    // "READY tcp:SERIAL=ADDR:PORT pty:SERIAL=PATH control=PATH discovery=IFACE"
    std::string Ready_Line() const;
    // Control commands whose first word is word go to handler (one JSON line back).
    void Add_Control_Commands(const std::string &word,
                              std::function<std::string(const std::vector<std::string> &)> handler);
    // Devices of another transport shown by status and dump; the source
    // must outlive Run().
    void Add_Devices(const DeviceSource *source) { sources_.push_back(source); }
    // Serves until SIGTERM, SIGINT or a "quit" on the control socket.
    // The caller blocks those signals in every thread before starting.
    int Run();

private:
    struct Session;
    struct Endpoint;
    struct Control;

    void _open_tcp(Endpoint &ep);
    void _open_pty(Endpoint &ep);
    void _open_discovery();
    void _open_control();
    void _accept(Endpoint &ep);
    void _read_session(Session &s);
    void _input(Endpoint &ep, Session &s, const uint8_t *bytes, size_t n);
    void _emit(uint64_t session_id, const std::vector<uint8_t> &bytes);
    void _flush(Session &s);
    void _close_session(uint64_t id, bool reset);
    void _link_action(Endpoint &ep, DeviceOut::Link action);
    void _heartbeat(Endpoint &ep);
    void _stream_check(Endpoint &ep);
    void _stream_tick(Endpoint &ep);
    void _discovery_request();
    void _control_accept();
    void _control_read(Control &c);
    std::string _control_command(const std::string &line, bool &quit);
    void _write_dumps();
    void _at(Clock::time_point when, std::function<void()> fn);
    nlohmann::json _status_json() const;
    bool _dump(uint32_t serial, nlohmann::json &dump) const;

    SimConfig cfg_;
    std::vector<std::unique_ptr<Endpoint>> endpoints_;
    std::map<uint64_t, std::unique_ptr<Session>> sessions_;
    std::map<uint64_t, std::unique_ptr<Control>> controls_;
    std::multimap<Clock::time_point, std::function<void()>> timers_;
    uint64_t next_id_ = 1;
    int discovery_fd_ = -1;
    int control_fd_ = -1;
    int signal_fd_ = -1;
    bool quit_ = false;
    bool control_bound_ = false;
    std::map<std::string, std::function<std::string(const std::vector<std::string> &)>> extra_commands_;
    std::vector<const DeviceSource *> sources_;
};

}  // namespace cvsim
