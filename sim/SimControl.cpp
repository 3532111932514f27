// The simulator's control socket: one command per line (status, dump, quit
// and the commands other transports add), one JSON line back; and the
// status and dump JSON it answers with, also written to the dump folder at exit.
#include "sim/SimServerPrivate.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace cvsim {

void Server::Add_Control_Commands(const std::string &word,
                                  std::function<std::string(const std::vector<std::string> &)> handler) {
    extra_commands_[word] = std::move(handler);
}

void Server::_open_control() {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (cfg_.control_path.size() >= sizeof sa.sun_path)
        throw std::runtime_error("control socket path too long: " + cfg_.control_path);
    std::strcpy(sa.sun_path, cfg_.control_path.c_str());
    struct stat st;
    // A stale socket from an earlier run may go; any other file stays.
    if (lstat(sa.sun_path, &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            throw std::runtime_error("control path exists and is not a socket: " + cfg_.control_path);
        unlink(sa.sun_path);
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(_errno_text("control socket"));
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
        std::string e = _errno_text("control socket " + cfg_.control_path);
        close(fd);
        throw std::runtime_error(e);
    }
    control_bound_ = true;
    if (listen(fd, 8) < 0) {
        close(fd);
        throw std::runtime_error(_errno_text("control socket listen"));
    }
    control_fd_ = fd;
}

void Server::_control_accept() {
    for (;;) {
        int fd = accept4(control_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        auto c = std::make_unique<Control>();
        c->id = next_id_++;
        c->fd = fd;
        controls_[c->id] = std::move(c);
    }
}

nlohmann::json Server::_status_json() const {
    nlohmann::json devs = nlohmann::json::array();
    Clock::time_point now = Clock::now();
    for (const auto &ep : endpoints_) {
        std::string where = ep->pty ? "pty:" + ep->pty_path : "tcp:" + ep->address + ":" + std::to_string(ep->port);
        const auto &all = ep->net->Devices();
        for (size_t i = 0; i < all.size(); i++) {
            nlohmann::json j = all[i]->Status(now);
            j["endpoint"] = where;
            if (i > 0)
                j["router_serial"] = _serial_text(all[0]->Serial());
            else {
                j["sessions"] = ep->pty ? 0 : ep->sessions.size();
                j["unrouted"] = ep->net->Unrouted();
                j["framing_errors"] = ep->framing_errors;
                j["listening"] = ep->pty || ep->listen_fd >= 0;
            }
            devs.push_back(j);
        }
    }
    for (const DeviceSource *src : sources_)
        src->Status(now, devs);
    return {{"devices", devs}};
}

bool Server::_dump(uint32_t serial, nlohmann::json &dump) const {
    for (const auto &ep : endpoints_) {
        if (Device *d = ep->net->Find_Serial(serial)) {
            dump = d->Dump();
            return true;
        }
    }
    for (const DeviceSource *src : sources_)
        if (src->Dump(serial, dump))
            return true;
    return false;
}

std::string Server::_control_command(const std::string &line, bool &quit) {
    std::vector<std::string> words;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t sp = line.find(' ', pos);
        std::string w = line.substr(pos, sp == std::string::npos ? std::string::npos : sp - pos);
        if (!w.empty())
            words.push_back(w);
        if (sp == std::string::npos)
            break;
        pos = sp + 1;
    }
    auto err = [](const std::string &e) { return Json_Text(nlohmann::json{{"error", e}}); };
    if (words.empty())
        return err("empty command");
    const std::string &cmd = words[0];
    auto extra = extra_commands_.find(cmd);
    if (extra != extra_commands_.end())
        return extra->second(words);
    if (cmd == "status" && words.size() == 1)
        return Json_Text(_status_json());
    if (cmd == "quit" && words.size() == 1) {
        quit = true;
        return Json_Text(nlohmann::json{{"ok", true}});
    }
    if (cmd == "dump" && (words.size() == 2 || words.size() == 3)) {
        char *end = nullptr;
        errno = 0;
        unsigned long serial = std::strtoul(words[1].c_str(), &end, 16);
        nlohmann::json dump;
        if (*end != '\0' || errno || serial > 0xFFFFFFFFul || !_dump(uint32_t(serial), dump))
            return err("no device " + words[1]);
        if (words.size() == 2)
            return Json_Text(dump);
        std::ofstream f(words[2], std::ios::binary | std::ios::trunc);
        f << Json_Text(dump) << "\n";
        f.close();
        if (!f)
            return err("cannot write " + words[2]);
        return Json_Text(nlohmann::json{{"ok", true}});
    }
    return err("unknown command: " + line + " (status, dump SERIAL [FILE], quit)");
}

void Server::_control_read(Control &c) {
    char buf[1024];
    ssize_t n = read(c.fd, buf, sizeof buf);
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            close(c.fd);
            controls_.erase(c.id);
        }
        return;
    }
    c.in.append(buf, size_t(n));
    size_t nl;
    while ((nl = c.in.find('\n')) != std::string::npos) {
        std::string line = c.in.substr(0, nl);
        c.in.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        bool quit = false;
        std::string reply = _control_command(line, quit) + "\n";
        // Replies are small; the socket takes them whole or the client is gone.
        int fl = fcntl(c.fd, F_GETFL);
        fcntl(c.fd, F_SETFL, fl & ~O_NONBLOCK);
        (void)send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        fcntl(c.fd, F_SETFL, fl);
        if (quit)
            quit_ = true;
    }
    if (c.in.size() > 65536) {
        close(c.fd);
        controls_.erase(c.id);
    }
}

void Server::_write_dumps() {
    if (cfg_.dump_dir.empty())
        return;
    std::vector<uint32_t> serials;
    for (const auto &ep : endpoints_)
        for (const auto &d : ep->net->Devices())
            serials.push_back(d->Serial());
    for (const DeviceSource *src : sources_)
        for (uint32_t serial : src->Serials())
            serials.push_back(serial);
    for (uint32_t serial : serials) {
        nlohmann::json dump;
        if (!_dump(serial, dump))
            continue;
        std::string path = cfg_.dump_dir + "/" + _serial_text(serial) + ".json";
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f << Json_Text(dump) << "\n";
        if (!f)
            std::fprintf(stderr, "corvantis-sim: cannot write %s\n", path.c_str());
    }
}

}  // namespace cvsim
