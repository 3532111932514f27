// The update server's queries: one GET to the server's script per query,
// with a line-oriented reply whose first line begins with "ok".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
public:
    typedef std::map<std::string, std::string> BuildList;             // build number -> version
    typedef std::vector<std::pair<std::string, std::string>> SortedBuildList;

    static const char *const DEFAULT_HOST;
    // "http://" DEFAULT_HOST "/cgi/u": used when a query is given an empty URL.
    static const char *const DEFAULT_URL;
    // "https://" DEFAULT_HOST "/cgi/u".
    static const char *const DEFAULT_URL_HTTPS;

    // Every query answers true only for status 200 and a first line
    // beginning with "ok" (plus its own conditions); it never throws.
    static bool ping(const std::string &url = "");
    static bool QueryBuild(uint32_t serial, std::string &build, std::string &firmware, const std::string &url = "");
    static bool GetBuild(uint32_t serial, const std::string &firmware, const std::string &build, std::string &payload,
                         const std::string &url = "", bool no_cal = false);
    static bool GetBuildList(uint32_t serial, BuildList &builds, const std::string &url = "");
    static bool GetRecoveryInfo(const uint32_t identifier[4], uint32_t &serial, uint32_t &build,
                                const std::string &url = "");
    static bool GetDeviceJWT(uint32_t serial, std::string &token, const std::string &url = "");

    // Newest version first; builds whose version is not three numbers come
    // last, in build-number order; equal versions keep the list's order.
    static SortedBuildList SortBuildsByVersion(const BuildList &builds);
    // The pieces between the dots, or nothing unless there are exactly three.
    static std::vector<std::string> SplitCorvantisVersion(const std::string &version);
    // The ordering of SortBuildsByVersion: true when a goes before b.
    static bool _sortVersion(const std::pair<std::string, std::string> &a,
                             const std::pair<std::string, std::string> &b);

    // The "fp" value of the recovery query: four "%08X" words joined by "%20".
    static std::string FingerprintText(const uint32_t identifier[4]);

    // Reply parsers, on a body that came with status 200. Each answers as its
    // query does; the out-parameters change as the query's would.
    // ParseBuild takes the body apart: a large image is not copied.
    static bool ParseOk(const std::string &body);
    static bool ParseQueryBuild(const std::string &body, std::string &build, std::string &firmware);
    static bool ParseBuild(std::string &body, std::string &payload);
    static bool ParseBuildList(const std::string &body, BuildList &builds);
    static bool ParseRecoveryInfo(const std::string &body, uint32_t &serial, uint32_t &build);
    static bool ParseDeviceJWT(const std::string &body, std::string &token);
};
