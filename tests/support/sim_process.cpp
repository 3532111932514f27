#include "tests/support/sim_process.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace fixtures {

SimProcess::~SimProcess()
{
    if (child_.Pid() > 0)
        child_.Stop(SIGTERM, 10000);
}

std::string SimProcess::Program()
{
    return BuildDir() + "/corvantis-sim";
}

std::vector<std::string> SimProcess::Under(const std::vector<std::string> &sim_args,
                                           const std::vector<std::string> &command)
{
    std::vector<std::string> argv = {Program()};
    argv.insert(argv.end(), sim_args.begin(), sim_args.end());
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
}

bool SimProcess::Start(const std::vector<std::string> &args, bool read_ready)
{
    std::vector<std::string> argv = {Program()};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!child_.Start(argv)) {
        error_ = "cannot start " + argv[0] + ": " + child_.Error();
        return false;
    }
    if (!read_ready)
        return true;
    std::string line;
    child_.ReadLine(&line, 10000);
    ready_ = line;
    if (line.rfind("READY", 0) != 0) {
        error_ = "no READY line, got \"" + line + "\"";
        return false;
    }
    std::istringstream words(line.substr(5));
    std::string word;
    while (words >> word) {
        size_t eq = word.find('=');
        endpoints_[word.substr(0, eq)] = eq == std::string::npos ? "" : word.substr(eq + 1);
    }
    return true;
}

std::string SimProcess::Endpoint(const std::string &key) const
{
    auto it = endpoints_.find(key);
    return it == endpoints_.end() ? "" : it->second;
}

uint16_t SimProcess::Port(const std::string &key) const
{
    std::string e = Endpoint(key);
    size_t colon = e.rfind(':');
    return colon == std::string::npos ? 0 : uint16_t(std::atoi(e.c_str() + colon + 1));
}

std::vector<std::string> SimProcess::UsbEnv() const
{
    std::vector<std::string> env;
    std::stringstream items(Endpoint("usbenv"));
    std::string item;
    while (std::getline(items, item, ','))
        if (!item.empty())
            env.push_back(item);
    return env;
}

bool SimProcess::ControlLine(const std::string &command, std::string *reply) const
{
    reply->clear();
    std::string path = Endpoint("control");
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
        error_ = "control socket " + path + ": " + std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    std::string line = command + "\n";
    for (size_t at = 0; at < line.size();) {
        ssize_t n = send(fd, line.data() + at, line.size() - at, MSG_NOSIGNAL);
        if (n <= 0) {
            error_ = "control socket " + path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        at += size_t(n);
    }
    // One reply line, within a generous bound.
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            break;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        reply->append(buffer, size_t(n));
        size_t newline = reply->find('\n');
        if (newline != std::string::npos) {
            reply->erase(newline);
            break;
        }
    }
    close(fd);
    return true;
}

}  // namespace fixtures
