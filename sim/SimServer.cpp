// The simulator's serving loop: TCP listeners, pseudo-terminals, sessions,
// link actions, heartbeats and stream ticks, and the discovery responder.
// The control socket and the dumps are SimControl.cpp.
#include "sim/SimServerPrivate.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace cvsim {

namespace {

constexpr uint16_t kDiscoveryPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;
constexpr const char *kDiscoveryGroup = "232.2.2.2";
constexpr size_t kTcpOutCap = 1 << 20;
constexpr size_t kPtyOutCap = 16 << 10;

void _close_reset(int fd) {
    // Linger 0: the peer sees a reset, as when a device drops off the network.
    struct linger l = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

}  // namespace

Server::Server(SimConfig cfg) : cfg_(std::move(cfg)) {}

Server::~Server() {
    for (auto &s : sessions_)
        if (!s.second->pty && s.second->fd >= 0)
            close(s.second->fd);
    for (auto &ep : endpoints_) {
        if (ep->listen_fd >= 0)
            close(ep->listen_fd);
        if (ep->master >= 0)
            close(ep->master);
        if (ep->slave >= 0)
            close(ep->slave);
    }
    for (auto &c : controls_)
        close(c.second->fd);
    if (control_fd_ >= 0)
        close(control_fd_);
    if (control_bound_)
        unlink(cfg_.control_path.c_str());
    if (discovery_fd_ >= 0)
        close(discovery_fd_);
    if (signal_fd_ >= 0)
        close(signal_fd_);
}

void Server::_at(Clock::time_point when, std::function<void()> fn) { timers_.emplace(when, std::move(fn)); }

void Server::Start() {
    Validate_Config(cfg_);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    signal_fd_ = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signal_fd_ < 0)
        throw std::runtime_error(_errno_text("signalfd"));
    for (const DeviceConfig &d : cfg_.devices) {
        if (d.transport == "usb")
            continue;  // on the emulated USB bus (sim/usb)
        auto ep = std::make_unique<Endpoint>();
        ep->net = std::make_unique<Network>(d);
        ep->pty = d.transport == "pty";
        ep->address = d.listen_address;
        ep->port = d.listen_port;
        if (ep->pty)
            _open_pty(*ep);
        else
            _open_tcp(*ep);
        Endpoint *raw = ep.get();
        endpoints_.push_back(std::move(ep));
        if (d.heartbeat_ms)
            _at(Clock::now() + std::chrono::milliseconds(d.heartbeat_ms), [this, raw] { _heartbeat(*raw); });
    }
    if (!cfg_.discovery_interface.empty())
        _open_discovery();
    if (!cfg_.control_path.empty())
        _open_control();
}

void Server::_open_tcp(Endpoint &ep) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(_errno_text("socket"));
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(ep.port);
    if (inet_pton(AF_INET, ep.address.c_str(), &sa.sin_addr) != 1) {
        close(fd);
        throw std::runtime_error("not an IPv4 address: " + ep.address);
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || listen(fd, 8) < 0) {
        std::string e = _errno_text("listen on " + ep.address + ":" + std::to_string(ep.port));
        close(fd);
        throw std::runtime_error(e);
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    ep.port = ntohs(sa.sin_port);
    ep.listen_fd = fd;
}

void Server::_open_pty(Endpoint &ep) {
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m < 0 || grantpt(m) < 0 || unlockpt(m) < 0) {
        std::string e = _errno_text("pseudo-terminal");
        if (m >= 0)
            close(m);
        throw std::runtime_error(e);
    }
    char name[256];
    if (ptsname_r(m, name, sizeof name) != 0) {
        close(m);
        throw std::runtime_error(_errno_text("ptsname"));
    }
    // Keeping the slave open means the master never sees a hang-up while no
    // host has the line open; raw mode keeps the line discipline away from
    // the frames until the host sets its own settings.
    int s = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s < 0) {
        close(m);
        throw std::runtime_error(_errno_text(std::string("open ") + name));
    }
    termios t{};
    if (tcgetattr(s, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(s, TCSANOW, &t);
    }
    ep.master = m;
    ep.slave = s;
    ep.pty_path = name;
    auto sess = std::make_unique<Session>();
    sess->id = next_id_++;
    sess->fd = m;
    sess->ep = &ep;
    sess->cobs = true;
    sess->pty = true;
    ep.sessions.push_back(sess->id);
    sessions_[sess->id] = std::move(sess);
}

void Server::_open_discovery() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(_errno_text("discovery socket"));
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(kDiscoveryPort);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    ip_mreq mr{};
    inet_pton(AF_INET, kDiscoveryGroup, &mr.imr_multiaddr);
    if (inet_pton(AF_INET, cfg_.discovery_interface.c_str(), &mr.imr_interface) != 1) {
        close(fd);
        throw std::runtime_error("not an IPv4 address: " + cfg_.discovery_interface);
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 ||
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mr, sizeof mr) < 0) {
        std::string e = _errno_text("discovery on " + cfg_.discovery_interface);
        close(fd);
        throw std::runtime_error(e);
    }
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &mr.imr_interface, sizeof mr.imr_interface);
    discovery_fd_ = fd;
}

std::string Server::Ready_Line() const {
    std::string line = "READY";
    for (const auto &ep : endpoints_) {
        const Device &root = ep->net->Root();
        if (ep->pty)
            line += " pty:" + _serial_text(root.Serial()) + "=" + ep->pty_path;
        else
            line += " tcp:" + _serial_text(root.Serial()) + "=" + ep->address + ":" + std::to_string(ep->port);
    }
    if (!cfg_.control_path.empty())
        line += " control=" + cfg_.control_path;
    if (!cfg_.discovery_interface.empty())
        line += " discovery=" + cfg_.discovery_interface;
    return line;
}

void Server::_accept(Endpoint &ep) {
    for (;;) {
        int fd = accept4(ep.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        Device &root = ep.net->Root();
        if (root.Away(Clock::now()) || (root.Config().faults.refuse_second && !ep.sessions.empty())) {
            root.Stats().refused++;
            _close_reset(fd);
            continue;
        }
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        root.Stats().connections++;
        auto s = std::make_unique<Session>();
        s->id = next_id_++;
        s->fd = fd;
        s->ep = &ep;
        ep.sessions.push_back(s->id);
        sessions_[s->id] = std::move(s);
    }
}

void Server::_read_session(Session &s) {
    uint8_t buf[4096];
    ssize_t n = read(s.fd, buf, sizeof buf);
    if (n > 0) {
        _input(*s.ep, s, buf, size_t(n));
        return;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        if (!s.pty)
            _close_session(s.id, false);
    }
}

void Server::_input(Endpoint &ep, Session &s, const uint8_t *bytes, size_t n) {
    std::vector<Inbound> in;
    uint64_t before = s.cobs ? s.framed.Framing_Errors() : s.raw.Framing_Errors();
    if (s.cobs)
        s.framed.Feed(bytes, n, in);
    else
        s.raw.Feed(bytes, n, in);
    ep.framing_errors += (s.cobs ? s.framed.Framing_Errors() : s.raw.Framing_Errors()) - before;
    ep.net->Root().Count_Write(in.size());
    const uint64_t sid = s.id;
    Clock::time_point now = Clock::now();
    for (const Inbound &pkt : in) {
        NetOut o;
        ep.net->Handle(pkt, now, o);
        for (const NetOut::Reply &r : o.replies) {
            std::vector<uint8_t> bytes_out;
            if (r.from->Count_Reply()) {
                const auto &g = r.from->Config().faults.garbage_bytes;
                bytes_out.assign(g.begin(), g.end());
                if (s.cobs)
                    bytes_out.push_back(0);
            }
            std::vector<uint8_t> frame = s.cobs ? Cobs_Frame(r.packet) : r.packet.Wire();
            bytes_out.insert(bytes_out.end(), frame.begin(), frame.end());
            uint32_t lat = r.from->Config().faults.latency_us;
            if (lat == 0)
                _emit(sid, bytes_out);
            else
                _at(now + std::chrono::microseconds(lat), [this, sid, bytes_out] { _emit(sid, bytes_out); });
        }
        if (o.link != DeviceOut::Link::Keep) {
            uint32_t lat = ep.net->Root().Config().faults.latency_us;
            DeviceOut::Link act = o.link;
            Endpoint *e = &ep;
            if (lat == 0)
                _link_action(ep, act);
            else
                _at(now + std::chrono::microseconds(lat), [this, e, act] { _link_action(*e, act); });
            // The link is going; what else arrived with this read is lost with it.
            return;
        }
    }
    _stream_check(ep);
}

void Server::_emit(uint64_t sid, const std::vector<uint8_t> &bytes) {
    auto it = sessions_.find(sid);
    if (it == sessions_.end())
        return;
    Session &s = *it->second;
    size_t cap = s.pty ? kPtyOutCap : kTcpOutCap;
    if (s.out.size() + bytes.size() > cap)
        return;  // nobody reads: drop whole frames, never parts of one
    s.out.insert(s.out.end(), bytes.begin(), bytes.end());
    _flush(s);
}

void Server::_flush(Session &s) {
    while (!s.out.empty()) {
        ssize_t n = s.pty ? write(s.fd, s.out.data(), s.out.size())
                          : send(s.fd, s.out.data(), s.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            s.out.erase(s.out.begin(), s.out.begin() + n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (!s.pty)
            _close_session(s.id, false);
        else
            s.out.clear();
        return;
    }
}

void Server::_close_session(uint64_t id, bool reset) {
    auto it = sessions_.find(id);
    if (it == sessions_.end())
        return;
    Session &s = *it->second;
    if (s.pty)
        return;
    if (reset) {
        // What is queued still goes out before the reset.
        if (!s.out.empty())
            (void)send(s.fd, s.out.data(), s.out.size(), MSG_NOSIGNAL);
        _close_reset(s.fd);
    } else {
        close(s.fd);
    }
    auto &list = s.ep->sessions;
    for (size_t i = 0; i < list.size(); i++) {
        if (list[i] == id) {
            list.erase(list.begin() + long(i));
            break;
        }
    }
    // With its last host gone a module stops streaming and forgets open slots.
    if (list.empty())
        for (const auto &d : s.ep->net->Devices())
            d->Extras().Restart();
    sessions_.erase(it);
}

void Server::_link_action(Endpoint &ep, DeviceOut::Link action) {
    if (ep.pty) {
        // A serial line cannot be unplugged; the device simply stops answering
        // (Device::Away) and half-read frames are forgotten.
        for (uint64_t id : ep.sessions) {
            auto it = sessions_.find(id);
            if (it != sessions_.end())
                it->second->framed = CobsReader();
        }
        return;
    }
    // Stop listening first: a host that sees the reset and reconnects at once
    // must find nobody there.
    if (ep.listen_fd >= 0) {
        close(ep.listen_fd);
        ep.listen_fd = -1;
    }
    std::vector<uint64_t> ids = ep.sessions;
    for (uint64_t id : ids)
        _close_session(id, true);
    if (action == DeviceOut::Link::Gone) {
        ep.closed_for_good = true;
        return;
    }
    Endpoint *e = &ep;
    std::function<void()> reopen;
    reopen = [this, e]() {
        if (e->closed_for_good || e->listen_fd >= 0)
            return;
        try {
            _open_tcp(*e);
        } catch (const std::exception &) {
            // The port is briefly taken: try again shortly.
            _at(Clock::now() + std::chrono::milliseconds(100), [this, e] {
                if (!e->closed_for_good && e->listen_fd < 0) {
                    try {
                        _open_tcp(*e);
                    } catch (const std::exception &ex) {
                        std::fprintf(stderr, "corvantis-sim: %s\n", ex.what());
                    }
                }
            });
        }
    };
    _at(ep.net->Root().Away_Until(), reopen);
}

void Server::_heartbeat(Endpoint &ep) {
    Device &root = ep.net->Root();
    Clock::time_point now = Clock::now();
    if (!root.Away(now) && !ep.sessions.empty()) {
        Packet hb = root.Heartbeat();
        root.Stats().packets_out++;
        for (uint64_t id : std::vector<uint64_t>(ep.sessions)) {
            auto it = sessions_.find(id);
            if (it != sessions_.end())
                _emit(id, it->second->cobs ? Cobs_Frame(hb) : hb.Wire());
        }
    }
    if (!root.Gone()) {
        Endpoint *e = &ep;
        _at(now + std::chrono::milliseconds(root.Config().heartbeat_ms), [this, e] { _heartbeat(*e); });
    }
}

void Server::_stream_check(Endpoint &ep) {
    if (ep.stream_tick)
        return;
    for (const auto &d : ep.net->Devices()) {
        if (d->Extras().Streaming()) {
            ep.stream_tick = true;
            Endpoint *e = &ep;
            _at(Clock::now() + std::chrono::milliseconds(Entities::kStreamIntervalMs), [this, e] { _stream_tick(*e); });
            return;
        }
    }
}

void Server::_stream_tick(Endpoint &ep) {
    ep.stream_tick = false;
    Clock::time_point now = Clock::now();
    for (const auto &d : ep.net->Devices()) {
        if (d->Away(now) || !d->Extras().Streaming())
            continue;
        std::vector<Packet> samples;
        d->Extras().Samples(now, samples);
        for (const Packet &p : samples) {
            d->Stats().packets_out++;
            for (uint64_t id : std::vector<uint64_t>(ep.sessions)) {
                auto it = sessions_.find(id);
                if (it != sessions_.end())
                    _emit(id, it->second->cobs ? Cobs_Frame(p) : p.Wire());
            }
        }
    }
    _stream_check(ep);
}

void Server::_discovery_request() {
    uint8_t buf[64];
    sockaddr_in from{};
    socklen_t flen = sizeof from;
    ssize_t n = recvfrom(discovery_fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &flen);
    if (n != 16 || buf[0] != 1)
        return;
    Clock::time_point now = Clock::now();
    for (const auto &ep : endpoints_) {
        const Device &root = ep->net->Root();
        if (ep->pty || ep->listen_fd < 0 || root.Away(now))
            continue;
        uint8_t r[16] = {};
        r[1] = root.Address();
        r[2] = uint8_t(ep->port);
        r[3] = uint8_t(ep->port >> 8);
        for (int i = 0; i < 4; i++)
            r[4 + i] = uint8_t(root.Serial() >> (8 * i));
        r[12] = root.Config().model;
        sockaddr_in to = from;
        to.sin_port = htons(kDiscoveryReplyPort);
        (void)sendto(discovery_fd_, r, sizeof r, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    }
}

int Server::Run() {
    enum Kind { kSignal, kControl, kControlClient, kDiscovery, kListen, kSession };
    struct Slot {
        Kind kind;
        uint64_t id;
        Endpoint *ep;
    };
    std::vector<pollfd> fds;
    std::vector<Slot> slots;
    while (!quit_) {
        fds.clear();
        slots.clear();
        auto add = [&](int fd, short events, Kind k, uint64_t id = 0, Endpoint *ep = nullptr) {
            fds.push_back({fd, events, 0});
            slots.push_back({k, id, ep});
        };
        add(signal_fd_, POLLIN, kSignal);
        if (control_fd_ >= 0)
            add(control_fd_, POLLIN, kControl);
        for (auto &c : controls_)
            add(c.second->fd, POLLIN, kControlClient, c.first);
        if (discovery_fd_ >= 0)
            add(discovery_fd_, POLLIN, kDiscovery);
        for (auto &ep : endpoints_)
            if (ep->listen_fd >= 0)
                add(ep->listen_fd, POLLIN, kListen, 0, ep.get());
        for (auto &s : sessions_)
            add(s.second->fd, short(POLLIN | (s.second->out.empty() ? 0 : POLLOUT)), kSession, s.first);

        timespec ts{};
        timespec *tsp = nullptr;
        if (!timers_.empty()) {
            auto wait = timers_.begin()->first - Clock::now();
            if (wait < Clock::duration::zero())
                wait = Clock::duration::zero();
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            ts.tv_sec = time_t(ns / 1000000000);
            ts.tv_nsec = long(ns % 1000000000);
            tsp = &ts;
        }
        int rc = ppoll(fds.data(), fds.size(), tsp, nullptr);
        if (rc < 0 && errno != EINTR)
            throw std::runtime_error(_errno_text("ppoll"));

        Clock::time_point now = Clock::now();
        while (!timers_.empty() && timers_.begin()->first <= now) {
            auto fn = std::move(timers_.begin()->second);
            timers_.erase(timers_.begin());
            fn();
        }
        if (rc <= 0)
            continue;
        for (size_t i = 0; i < fds.size() && !quit_; i++) {
            short re = fds[i].revents;
            if (!re)
                continue;
            const Slot &sl = slots[i];
            switch (sl.kind) {
            case kSignal: {
                signalfd_siginfo si;
                while (read(signal_fd_, &si, sizeof si) == sizeof si)
                    quit_ = true;
                break;
            }
            case kControl:
                _control_accept();
                break;
            case kControlClient: {
                auto it = controls_.find(sl.id);
                if (it != controls_.end())
                    _control_read(*it->second);
                break;
            }
            case kDiscovery:
                _discovery_request();
                break;
            case kListen:
                if (sl.ep->listen_fd == fds[i].fd)
                    _accept(*sl.ep);
                break;
            case kSession: {
                auto it = sessions_.find(sl.id);
                if (it == sessions_.end())
                    break;
                Session &s = *it->second;
                if (re & POLLOUT)
                    _flush(s);
                if (sessions_.count(sl.id) && (re & (POLLIN | POLLHUP | POLLERR)))
                    _read_session(s);
                break;
            }
            }
        }
    }
    _write_dumps();
    return 0;
}

}  // namespace cvsim
