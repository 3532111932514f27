// Runs tools/update-server as a child process on 127.0.0.1 and makes a
// throwaway certificate authority with openssl for its HTTPS tests.
#pragma once

#include "tests/support/fixtures.h"

#include <csignal>
#include <string>
#include <vector>

namespace fixtures {

// CA and server certificates under dir: ca.pem (the bundle to trust),
// server.pem/server.key for 127.0.0.1 and localhost, and wrong.pem/wrong.key
// signed by the same CA for another host name only.
struct TestCA {
    std::string ca, cert, key, wrong_cert, wrong_key;

    explicit TestCA(const std::string &dir)
        : ca(dir + "/ca.pem"), cert(dir + "/server.pem"), key(dir + "/server.key"), wrong_cert(dir + "/wrong.pem"),
          wrong_key(dir + "/wrong.key")
    {
        auto openssl = [&](std::vector<std::string> args) {
            args.insert(args.begin(), "openssl");
            RunResult r = Run(args);
            EXPECT_EQ(r.status, 0) << r.err;
        };
        const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
        std::vector<std::string> args = {"req", "-x509"};
        args.insert(args.end(), ec.begin(), ec.end());
        args.insert(args.end(), {"-keyout", dir + "/ca.key", "-out", ca, "-days", "2", "-subj", "/CN=updater test CA",
                                 "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                                 "keyUsage=critical,keyCertSign,cRLSign"});
        openssl(args);
        Leaf(openssl, ec, dir, "server", "subjectAltName=IP:127.0.0.1,DNS:localhost");
        Leaf(openssl, ec, dir, "wrong", "subjectAltName=DNS:other.invalid");
    }

private:
    template <typename F>
    void Leaf(F &openssl, const std::vector<std::string> &ec, const std::string &dir, const std::string &name,
              const std::string &san)
    {
        std::vector<std::string> args = {"req"};
        args.insert(args.end(), ec.begin(), ec.end());
        args.insert(args.end(),
                    {"-keyout", dir + "/" + name + ".key", "-out", dir + "/" + name + ".csr", "-subj", "/CN=" + name});
        openssl(args);
        WriteFile(dir + "/" + name + ".ext", san + "\nbasicConstraints=CA:FALSE\n");
        openssl({"x509", "-req", "-in", dir + "/" + name + ".csr", "-CA", ca, "-CAkey", dir + "/ca.key",
                 "-CAcreateserial", "-out", dir + "/" + name + ".pem", "-days", "2", "-extfile",
                 dir + "/" + name + ".ext"});
    }
};

// update-server started with the given arguments; stopped (SIGTERM, then
// waited for) when destroyed.
class UpdateServer {
public:
    UpdateServer(const std::string &data, const std::vector<std::string> &extra, const std::string &log_path)
    {
        std::vector<std::string> argv = {"python3", "-I", "-S", Tool("update-server"), "--data", data, "--log", log_path};
        argv.insert(argv.end(), extra.begin(), extra.end());
        SpawnOptions options;
        options.err_file = log_path + ".stderr";
        std::string line;
        if (server_.Start(argv, options)) {
            // The READY line, within a generous bound.
            server_.ReadLine(&line, 30000);
            if (line.rfind("READY ", 0) == 0)
                port_ = atoi(line.c_str() + 6);
        }
        EXPECT_GT(port_, 0) << "update-server did not start: [" << line << "] " << server_.Error()
                            << ReadFile(log_path + ".stderr");
    }
    // A server that does not end on SIGTERM within 10 s fails the test and is
    // killed, rather than hold the test up until its time-out.
    ~UpdateServer()
    {
        if (server_.Pid() > 0 && server_.Stop(SIGTERM, 10000) < 0)
            ADD_FAILURE() << "update-server did not end on SIGTERM; killed";
    }
    UpdateServer(const UpdateServer &) = delete;
    UpdateServer &operator=(const UpdateServer &) = delete;

    int port() const { return port_; }
    std::string url(const std::string &scheme = "http", const std::string &host = "127.0.0.1") const
    {
        return scheme + "://" + host + ":" + std::to_string(port_) + "/cgi/u";
    }

private:
    Child server_;
    int port_ = 0;
};

// Sets (or with a null value removes) an environment variable while alive.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name)
    {
        const char *old = getenv(name);
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }

private:
    std::string name_, old_;
    bool had_ = false;
};

} // namespace fixtures
