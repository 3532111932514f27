#include "updateserver/UpdateServerRequest.h"

#include "common/Log.h"
#include "common/vDefs.h"
#include "common/vVersion.h"
#include "updateserver/HTTPRequest.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#define UPDATE_HOST "update.velquire.com"
const char *const UpdateServerRequest::DEFAULT_HOST = UPDATE_HOST;
const char *const UpdateServerRequest::DEFAULT_URL = "http://" UPDATE_HOST "/cgi/u";
const char *const UpdateServerRequest::DEFAULT_URL_HTTPS = "https://" UPDATE_HOST "/cgi/u";
#undef UPDATE_HOST

namespace {

typedef std::map<std::string, std::string> Parameters;
typedef std::vector<std::string_view> Lines;

// The body split at line feeds, empty lines dropped; views into body.
Lines _split_lines(const std::string &body)
{
    Lines lines;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos)
            end = body.size();
        if (end > start)
            lines.emplace_back(body.data() + start, end - start);
        start = end + 1;
    }
    return lines;
}

// Text up to the first carriage return or line feed.
std::string _until_line_end(std::string_view text)
{
    size_t end = text.find_first_of("\r\n");
    return std::string(text.substr(0, end));
}

bool _is_ok(const Lines &lines)
{
    return !lines.empty() && lines[0].substr(0, 2) == "ok";
}

// The common frame: GET, status 200, a first line beginning with "ok".
// On success body holds the reply.
bool _query(const char *name, const std::string &url, const Parameters &parameters, std::string &body)
{
    const std::string &target = url.empty() ? std::string(UpdateServerRequest::DEFAULT_URL) : url;
    try {
        HTTPResponse response = HTTPRequest::GET(target, parameters);
        if (response.get_status() != 200) {
            if (std::string(name) == "ping")
                Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", (int)response.get_status(),
                         response.body().c_str());
            else
                Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, (int)response.get_status(),
                         response.body().c_str());
            return false;
        }
        if (!_is_ok(_split_lines(response.body()))) {
            Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request().c_str());
            return false;
        }
        body.swap(response.body());
        return true;
    } catch (const std::exception &e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
}

// Version pieces as numbers; false (with the exception line) when a piece
// does not convert.
bool _version_numbers(const std::vector<std::string> &pieces, unsigned numbers[3])
{
    try {
        for (int i = 0; i < 3; ++i)
            numbers[i] = (unsigned)std::stoi(pieces[i], nullptr, 10) & 0xFF;
        return true;
    } catch (const std::exception &e) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
        return false;
    }
}

// Sort key of a malformed version's build: numbers before other text.
bool _build_before(const std::string &a, const std::string &b)
{
    uint64_t na = 0, nb = 0;
    bool numeric_a = vVersion_ParseBuild(a.c_str(), &na, true), numeric_b = vVersion_ParseBuild(b.c_str(), &nb, true);
    if (numeric_a != numeric_b)
        return numeric_a;
    if (numeric_a && na != nb)
        return na < nb;
    return a < b;
}

} // namespace

std::string UpdateServerRequest::FingerprintText(const uint32_t identifier[4])
{
    char text[64];
    snprintf(text, sizeof text, "%08X%%20%08X%%20%08X%%20%08X", identifier[0], identifier[1], identifier[2],
             identifier[3]);
    return text;
}

bool UpdateServerRequest::ParseOk(const std::string &body)
{
    return _is_ok(_split_lines(body));
}

bool UpdateServerRequest::ParseQueryBuild(const std::string &body, std::string &build, std::string &firmware)
{
    Lines lines = _split_lines(body);
    if (!_is_ok(lines))
        return false;
    if (lines.size() > 1)
        build = std::string(lines[1]);
    if (lines.size() > 2)
        firmware = _until_line_end(lines[2]);
    return true;
}

bool UpdateServerRequest::ParseBuild(std::string &body, std::string &payload)
{
    Lines lines = _split_lines(body);
    if (!_is_ok(lines))
        return false;
    payload.clear();
    if (lines.size() > 1) {
        // Cut the body down to line 2 in place: an image may be large.
        size_t start = (size_t)(lines[1].data() - body.data()), length = lines[1].size();
        body.erase(start + length);
        body.erase(0, start);
        payload.swap(body);
    }
    return true;
}

bool UpdateServerRequest::ParseBuildList(const std::string &body, BuildList &builds)
{
    const char *name = "GetBuildList";
    builds.clear();
    Lines lines = _split_lines(body);
    if (!_is_ok(lines))
        return false;
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].size() < 3)
            continue;
        std::string entry(lines[i]);
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", name, entry.c_str());
        // The first two pieces between ";", CR and LF; empty pieces do not count.
        std::vector<std::string> pieces;
        size_t start = 0;
        while (start <= entry.size() && pieces.size() < 2) {
            size_t end = entry.find_first_of(";\r\n", start);
            if (end == std::string::npos)
                end = entry.size();
            if (end > start)
                pieces.push_back(entry.substr(start, end - start));
            start = end + 1;
        }
        if (pieces.empty())
            continue;
        std::string version = pieces.size() > 1 ? pieces[1] : std::string();
        builds.emplace(pieces[0], version);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", name, pieces[0].c_str(), version.c_str());
    }
    return true;
}

bool UpdateServerRequest::ParseRecoveryInfo(const std::string &body, uint32_t &serial, uint32_t &build)
{
    Lines lines = _split_lines(body);
    if (!_is_ok(lines))
        return false;
    std::string first(lines[0]), second, third;
    if (lines.size() > 1) {
        second = std::string(lines[1]);
        serial = (uint32_t)strtoul(second.c_str(), nullptr, 16);
    }
    if (lines.size() > 2) {
        third = std::string(lines[2]);
        build = (uint32_t)strtoul(third.c_str(), nullptr, 0);
    }
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", first.c_str(), second.c_str(),
             third.c_str());
    return true;
}

bool UpdateServerRequest::ParseDeviceJWT(const std::string &body, std::string &token)
{
    Lines lines = _split_lines(body);
    if (!_is_ok(lines) || lines.size() < 2 || lines[1].size() <= 2)
        return false;
    std::string line(lines[1]);
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", line.c_str());
    size_t first = line.find('.');
    if (first == std::string::npos)
        return false;
    size_t second = line.find('.', first + 1);
    if (second == std::string::npos)
        return false;
    std::string header = line.substr(0, first);
    std::string payload = line.substr(first + 1, second - first - 1);
    std::string signature = _until_line_end(std::string_view(line).substr(second + 1));
    if (header.size() < 2 || payload.size() < 2 || signature.size() < 2)
        return false;
    token = header + "." + payload + "." + signature;
    return true;
}

bool UpdateServerRequest::ping(const std::string &url)
{
    std::string body;
    return _query("ping", url, {{"op", "hi"}, {"rv", "2"}}, body);
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string &build, std::string &firmware,
                                     const std::string &url)
{
    std::string body;
    return _query("QueryBuild", url, {{"op", "qu"}, {"sn", vDefs_SerialText(serial)}}, body) &&
           ParseQueryBuild(body, build, firmware);
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string &firmware, const std::string &build,
                                   std::string &payload, const std::string &url, bool no_cal)
{
    std::string body;
    Parameters parameters{{"op", "bird"},
                          {"sn", vDefs_SerialText(serial)},
                          {"fw", firmware},
                          {"bld", build},
                          {"no_cal", no_cal ? "true" : "false"}};
    return _query("GetBuild", url, parameters, body) && ParseBuild(body, payload);
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, BuildList &builds, const std::string &url)
{
    builds.clear();
    std::string body;
    return _query("GetBuildList", url, {{"op", "builds"}, {"sn", vDefs_SerialText(serial)}}, body) &&
           ParseBuildList(body, builds);
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t identifier[4], uint32_t &serial, uint32_t &build,
                                          const std::string &url)
{
    std::string body;
    return _query("GetRecoveryInfo", url, {{"op", "fix"}, {"fp", FingerprintText(identifier)}, {"brief", "true"}},
                  body) &&
           ParseRecoveryInfo(body, serial, build);
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serial, std::string &token, const std::string &url)
{
    std::string body;
    return _query("GetDeviceJWT", url, {{"op", "ent_jwt"}, {"sn", vDefs_SerialText(serial)}, {"json", "false"}}, body) &&
           ParseDeviceJWT(body, token);
}

std::vector<std::string> UpdateServerRequest::SplitCorvantisVersion(const std::string &version)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t dot = version.find('.', start);
        pieces.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    if (pieces.size() != 3)
        pieces.clear();
    return pieces;
}

bool UpdateServerRequest::_sortVersion(const std::pair<std::string, std::string> &a,
                                       const std::pair<std::string, std::string> &b)
{
    std::vector<std::string> pa = SplitCorvantisVersion(a.second), pb = SplitCorvantisVersion(b.second);
    if (pa.empty() != pb.empty())
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
                 (pa.empty() ? a.second : b.second).c_str());
    unsigned va[3], vb[3];
    bool good_a = !pa.empty() && _version_numbers(pa, va);
    bool good_b = !pb.empty() && _version_numbers(pb, vb);
    // A strict weak ordering even with malformed versions: well-formed ones
    // first, newest first; malformed ones after them by build number.
    if (good_a != good_b)
        return good_a;
    if (!good_a)
        return _build_before(a.first, b.first);
    return std::lexicographical_compare(vb, vb + 3, va, va + 3);
}

UpdateServerRequest::SortedBuildList UpdateServerRequest::SortBuildsByVersion(const BuildList &builds)
{
    SortedBuildList sorted(builds.begin(), builds.end());
    std::stable_sort(sorted.begin(), sorted.end(), _sortVersion);
    return sorted;
}
