// updater -B, -L, -G and -J run as processes against tools/update-server,
// over HTTP and HTTPS, with the store in a temporary directory (-i).
#include "common/vDirectory.h"
#include "tests/support/update_server.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <pty.h>
#include <regex>
#include <sys/wait.h>

using namespace fixtures;

namespace {

const char *kCatalogue = R"({
  "devices": {
    "0012ABCD": {
      "builds": {"1234": "2.12.4", "1300": "1.0.0", "777": "2.11.0", "900": "2.10.0"},
      "latest": "1234",
      "firmware": "HUB7-main",
      "token": "aGVhZGVy.cGF5bG9hZA.c2lnbmF0dXJl"
    },
    "00C0FFEE": {"builds": {"5": "1.0.0", "6": "1.0.1"}, "latest": "6", "firmware": "CTRL"}
  }
})";

const std::regex kStamp("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");

struct Result {
    int status;
    std::vector<std::string> out, err;
};

using fixtures::Lines;

std::string Row(const std::string &build, const std::string &version)
{
    char text[64];
    snprintf(text, sizeof text, "%-15.15s\t%-15.15s", build.c_str(), version.c_str());
    return text;
}

class BuildsEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        data = dir / "data";
        store = dir / "home";
        ASSERT_EQ(vDirectory_Ensure((data + "/images").c_str(), 0755), vErrNone);
        WriteFile(data + "/catalogue.json", kCatalogue);
        MakeBird(data + "/images/1234.bird", {"--build", "1234", "--version", "2.12.4", "--serial", "0012ABCD",
                                              "--firmware-size", "200000", "--loader-size", "2000"});
        MakeBird(data + "/images/900.bird", {"--build", "900", "--version", "2.10.0", "--firmware-size", "5000"});
        // 777 is listed, but its image passes the header check and does not load.
        WriteFile(data + "/images/777.bird", std::string("bird\x01\x01", 6) + "this is no zlib stream");
        MakeBird(data + "/images/6.bird", {"--build", "6", "--version", "1.0.1", "--firmware-size", "100"});
    }

    // updater ARGS with the store under dir and the server at url.
    Result Updater(const std::string &url, std::vector<std::string> args)
    {
        std::vector<std::string> argv = {BuildDir() + "/updater", "-i", store, "-u", url};
        argv.insert(argv.end(), args.begin(), args.end());
        fixtures::RunResult r = fixtures::Run(argv);
        Result result{r.status, Lines(r.out), Lines(r.err)};
        // The version line comes first, always.
        EXPECT_FALSE(result.out.empty());
        if (!result.out.empty()) {
            EXPECT_EQ(result.out[0].rfind("Updater (Version: ", 0), 0u) << result.out[0];
            result.out.erase(result.out.begin());
        }
        return result;
    }

    std::string Device(const std::string &name = "") const
    {
        return store + "/updater/0012ABCD" + (name.empty() ? "" : "/" + name);
    }

    std::map<std::string, std::string> Settings(const std::string &serial = "0012ABCD") const
    {
        std::map<std::string, std::string> entries;
        for (const std::string &line : Lines(ReadFile(store + "/updater/" + serial + "/.settings"))) {
            size_t eq = line.find('=');
            entries[line.substr(0, eq)] = eq == std::string::npos ? "" : line.substr(eq + 1);
        }
        return entries;
    }

    std::vector<std::string> Requests(const std::string &log)
    {
        std::vector<std::string> lines = Lines(ReadFile(log));
        std::vector<std::string> fresh(lines.begin() + (long)std::min(seen[log], lines.size()), lines.end());
        seen[log] = lines.size();
        return fresh;
    }

    TempDir dir;
    std::string data, store;
    std::map<std::string, size_t> seen;
};

TEST_F(BuildsEndToEnd, ServerBuildListNewestFirst)
{
    UpdateServer server(data, {}, dir / "req.log");
    Result r = Updater(server.url(), {"-B", "-d", "0012ABCD"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, (std::vector<std::string>{"Build List for device [0012ABCD]:", "", Row("Build", "Version"),
                                               Row("1234", "2.12.4"), Row("777", "2.11.0"), Row("900", "2.10.0"),
                                               Row("1300", "1.0.0")}));
    EXPECT_TRUE(r.err.empty());
    EXPECT_EQ(Requests(dir / "req.log"),
              (std::vector<std::string>{"GET /cgi/u?op=hi&rv=2& HTTP/1.1", "GET /cgi/u?op=builds&sn=0012ABCD& HTTP/1.1"}));

    r = Updater(server.url(), {"-B", "-d", "99"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::vector<std::string>{"No builds found for device [00000099]"});
    EXPECT_EQ(r.err, std::vector<std::string>{"Failed to retrieve builds for 00000099"});
    EXPECT_FALSE(Exists(store + "/updater/00000099")) << "listing creates no device directory";
}

TEST_F(BuildsEndToEnd, DownloadTheNewestBuildIntoAFreshStore)
{
    UpdateServer server(data, {}, dir / "req.log");
    Result r = Updater(server.url(), {"-G", "-d", "0012ABCD"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, (std::vector<std::string>{"Retrieving firmware for device with serial number 0012ABCD",
                                               "No build specified", "Using Latest build", "Retrieving build 1234",
                                               "Validating build 1234 with server", "Build 1234 is valid"}));
    EXPECT_TRUE(r.err.empty()) << r.err[0];
    EXPECT_EQ(Requests(dir / "req.log"),
              (std::vector<std::string>{
                  "GET /cgi/u?op=hi&rv=2& HTTP/1.1", "GET /cgi/u?op=qu&sn=0012ABCD& HTTP/1.1",
                  "GET /cgi/u?op=builds&sn=0012ABCD& HTTP/1.1",
                  "GET /cgi/u?bld=1234&fw=HUB7-main&no_cal=false&op=bird&sn=0012ABCD& HTTP/1.1"}));

    EXPECT_EQ(ReadFile(Device("1234.bird")), ReadFile(data + "/images/1234.bird"));
    EXPECT_EQ(ListDir(Device()), (std::vector<std::string>{".settings", "1234.bird"}));
    auto settings = Settings();
    EXPECT_EQ(settings.size(), 4u);
    EXPECT_EQ(settings["LATEST_DOWNLOAD"], "1234.bird");
    for (const char *key : {"CREATED_TIME", "UPDATED_TIME", "LAST_DOWNLOAD_DATE"})
        EXPECT_TRUE(std::regex_match(settings[key], kStamp)) << key << "=" << settings[key];
    EXPECT_EQ(ReadFile(Device(".settings")).substr(0, 13), "CREATED_TIME=") << "keys in order";

    // The stored image is listed with its version.
    r = Updater(server.url(), {"-L", "-d", "0012ABCD"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, (std::vector<std::string>{"Build List for device [0012ABCD]:", "", Row("Build", "Version"),
                                               Row("1234", "2.12.4")}));
    EXPECT_TRUE(Requests(dir / "req.log").empty()) << "-L asks no server";
}

TEST_F(BuildsEndToEnd, DownloadANamedBuildOrRefuseAnUnlistedOne)
{
    UpdateServer server(data, {}, dir / "req.log");
    Result r = Updater(server.url(), {"-G", "-d", "0012ABCD", "-b", "900"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, (std::vector<std::string>{"Retrieving firmware for device with serial number 0012ABCD",
                                               "Retrieving firmware build 900", "Retrieving build 900",
                                               "Validating build 900 with server", "Build 900 is valid"}));
    EXPECT_EQ(ReadFile(Device("900.bird")), ReadFile(data + "/images/900.bird"));
    EXPECT_EQ(Settings()["LATEST_DOWNLOAD"], "900.bird");
    Requests(dir / "req.log");

    r = Updater(server.url(), {"-G", "-d", "0012ABCD", "-b", "4444"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.back(), "Validating build 4444 with server");
    EXPECT_EQ(r.err, std::vector<std::string>{"No valid build 4444"});
    std::vector<std::string> requests = Requests(dir / "req.log");
    EXPECT_EQ(requests.size(), 3u) << "no image requested";

    // -OVERRIDE asks for the unlisted build all the same.
    r = Updater(server.url(), {"-G", "-d", "0012ABCD", "-b", "4444", "-OVERRIDE"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, (std::vector<std::string>{"Retrieving firmware for device with serial number 0012ABCD",
                                               "Retrieving firmware build 4444", "Retrieving build 4444",
                                               "Override specified, skipping validation of build 4444"}));
    EXPECT_EQ(r.err, (std::vector<std::string>{"Download failed", "Failed to retrieve a valid BIRD file"}));
    EXPECT_EQ(Requests(dir / "req.log"),
              (std::vector<std::string>{
                  "GET /cgi/u?op=hi&rv=2& HTTP/1.1", "GET /cgi/u?op=qu&sn=0012ABCD& HTTP/1.1",
                  "GET /cgi/u?bld=4444&fw=HUB7-main&no_cal=false&op=bird&sn=0012ABCD& HTTP/1.1"}));
    EXPECT_EQ(Settings()["LATEST_DOWNLOAD"], "900.bird");

    // The command line reads a build that is not a number as 0.
    r = Updater(server.url(), {"-G", "-d", "0012ABCD", "-b", "12x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out[1], "Retrieving firmware build 0");
    EXPECT_EQ(r.err, std::vector<std::string>{"No valid build 0"});
}

TEST_F(BuildsEndToEnd, AnImageThatDoesNotLoadIsNeverStored)
{
    // A first good download sets LATEST_DOWNLOAD.
    {
        UpdateServer server(data, {}, dir / "a.log");
        ASSERT_EQ(Updater(server.url(), {"-G", "-d", "0012ABCD"}).status, 0);
    }
    std::string before = ReadFile(Device(".settings"));
    struct Case {
        const char *name;
        std::vector<std::string> server_switches;
        std::vector<std::string> args;
    } cases[] = {
        {"not clean Base64", {"--bad-base64"}, {"-b", "900"}},
        {"CR LF keeps a CR in the image line", {"--crlf"}, {"-b", "900"}},
        {"header passes, content does not load", {}, {"-b", "777"}},
    };
    for (const Case &c : cases) {
        UpdateServer server(data, c.server_switches, dir / "b.log");
        std::vector<std::string> args = {"-G", "-d", "0012ABCD"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result r = Updater(server.url(), args);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.err, std::vector<std::string>{"Failed to retrieve a valid BIRD file"}) << c.name;
        EXPECT_EQ(ListDir(Device()), (std::vector<std::string>{".settings", "1234.bird"})) << c.name;
        EXPECT_EQ(ReadFile(Device(".settings")), before) << c.name;
    }

    // A server that fails the transfer: the same, after "Download failed".
    UpdateServer failing(data, {"--status", "500", "--only-op", "bird"}, dir / "c.log");
    Result r = Updater(failing.url(), {"-G", "-d", "0012ABCD", "-b", "900"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, (std::vector<std::string>{"Download failed", "Failed to retrieve a valid BIRD file"}));
    EXPECT_EQ(ReadFile(Device(".settings")), before);
}

TEST_F(BuildsEndToEnd, AFailedWriteRecordsNothing)
{
    UpdateServer server(data, {}, dir / "req.log");
    ASSERT_EQ(Updater(server.url(), {"-G", "-d", "0012ABCD"}).status, 0);
    // A directory standing where the image would go cannot be replaced.
    ASSERT_EQ(vDirectory_Ensure(Device("900.bird").c_str(), 0755), vErrNone);
    std::string before = ReadFile(Device(".settings"));
    Result r = Updater(server.url(), {"-G", "-d", "0012ABCD", "-b", "900"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::vector<std::string>{"Failed to write file with 3"});
    EXPECT_EQ(ReadFile(Device(".settings")), before);
    EXPECT_EQ(Settings()["LATEST_DOWNLOAD"], "1234.bird");
}

TEST_F(BuildsEndToEnd, LocalListShowsEveryEntryWithWhatVersionLoads)
{
    UpdateServer server(data, {}, dir / "req.log");
    ASSERT_EQ(Updater(server.url(), {"-G", "-d", "0012ABCD"}).status, 0);
    WriteFile(Device("notes.txt"), "hello");
    WriteFile(Device("1234.bird.bak"), ReadFile(data + "/images/900.bird"));
    WriteFile(Device("777.bird"), ReadFile(data + "/images/777.bird"));
    Result r = Updater(server.url(), {"-L", "-d", "0012ABCD"});
    EXPECT_EQ(r.status, 0);
    ASSERT_GE(r.out.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(r.out.begin(), r.out.begin() + 3),
              (std::vector<std::string>{"Build List for device [0012ABCD]:", "", Row("Build", "Version")}));
    std::vector<std::string> rows(r.out.begin() + 3, r.out.end());
    std::sort(rows.begin(), rows.end());
    // 1234.bird and 1234.bird.bak share a key; the one listed first keeps its
    // version, so either version may show.
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_TRUE(rows[0] == Row("1234", "2.12.4") || rows[0] == Row("1234", "2.10.0")) << rows[0];
    EXPECT_EQ(rows[1], Row("777", ""));
    EXPECT_EQ(rows[2], Row("notes.txt", ""));

    r = Updater(server.url(), {"-L", "-d", "0000BEEF"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::vector<std::string>{"No builds found for device [0000BEEF]"});
}

TEST_F(BuildsEndToEnd, DeviceTokenOrItsError)
{
    UpdateServer server(data, {}, dir / "req.log");
    Result r = Updater(server.url(), {"-J", "-d", "0012ABCD"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::vector<std::string>{"aGVhZGVy.cGF5bG9hZA.c2lnbmF0dXJl"});
    EXPECT_EQ(Requests(dir / "req.log"),
              (std::vector<std::string>{"GET /cgi/u?op=hi&rv=2& HTTP/1.1",
                                        "GET /cgi/u?json=false&op=ent_jwt&sn=0012ABCD& HTTP/1.1"}));
    r = Updater(server.url(), {"-J", "-d", "00C0FFEE"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::vector<std::string>{""});
    EXPECT_EQ(r.err, std::vector<std::string>{"Failed to retrieve jwt for 00C0FFEE"});
}

TEST_F(BuildsEndToEnd, AServerThatIsNotThere)
{
    int port;
    {
        UpdateServer gone(data, {}, dir / "gone.log");
        port = gone.port();
    }
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
    struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {{{"-B", "-d", "0012ABCD"}, 0}, {{"-J", "-d", "0012ABCD"}, 0}, {{"-G", "-d", "0012ABCD"}, 1}};
    for (auto &c : cases) {
        Result r = Updater(url, c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.err, std::vector<std::string>{"Server request failed for " + url}) << c.args[0];
    }
}

TEST_F(BuildsEndToEnd, HTTPSWithAPrivateAuthority)
{
    TestCA ca(dir.path());
    UpdateServer server(data, {"--cert", ca.cert, "--key", ca.key}, dir / "tls.log");
    std::string url = server.url("https");
    {
        ScopedEnv bundle("CURL_CA_BUNDLE", ca.ca.c_str());
        Result r = Updater(url, {"-G", "-d", "0012ABCD", "-b", "900"});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.err.empty());
        EXPECT_EQ(ReadFile(Device("900.bird")), ReadFile(data + "/images/900.bird"));
        r = Updater(url, {"-B", "-d", "0012ABCD"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.size(), 7u);
        r = Updater(url, {"-J", "-d", "0012ABCD"});
        EXPECT_EQ(r.out, std::vector<std::string>{"aGVhZGVy.cGF5bG9hZA.c2lnbmF0dXJl"});
    }
    // Unverified, the server is not trusted with anything.
    ScopedEnv none("CURL_CA_BUNDLE", nullptr);
    Result r = Updater(url, {"-G", "-d", "0012ABCD", "-b", "1234"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::vector<std::string>{"Server request failed for " + url});
    EXPECT_FALSE(Exists(Device("1234.bird")));
}

TEST_F(BuildsEndToEnd, TheSpinnerTurnsWhileTheImageDownloads)
{
    // On a terminal the spinner is drawn while the worker waits for the
    // stalled reply, then cleared.
    UpdateServer server(data, {"--stall", "1.5", "--only-op", "bird"}, dir / "req.log");
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::string program = BuildDir() + "/updater", url = server.url();
        execl(program.c_str(), program.c_str(), "-i", store.c_str(), "-u", url.c_str(), "-G", "-d", "0012ABCD",
              "-b", "900", (char *)nullptr);
        _exit(127);
    }
    std::string screen;
    struct pollfd fd = {master, POLLIN, 0};
    while (poll(&fd, 1, 60000) > 0) {
        char buffer[4096];
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        screen.append(buffer, (size_t)n);
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // Frames follow one another: ".", "..", "...", ....
    const char *frames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
    size_t at = screen.find("Build 900 is valid");
    ASSERT_NE(at, std::string::npos) << screen;
    int drawn = 0;
    for (int i = 0; i < 8; ++i) {
        std::string frame = std::string("\r (Downloading) ") + frames[i] + "      \r";
        size_t next = screen.find(frame, at);
        if (next == std::string::npos)
            break;
        at = next + frame.size();
        ++drawn;
    }
    EXPECT_GE(drawn, 4) << "a 1.5 s transfer turns the 100 ms spinner several times";
    EXPECT_NE(screen.find("\r" + std::string(88, ' ') + "\r", at), std::string::npos) << "cleared at the end";
    EXPECT_EQ(ReadFile(Device("900.bird")), ReadFile(data + "/images/900.bird"));
}

} // namespace
