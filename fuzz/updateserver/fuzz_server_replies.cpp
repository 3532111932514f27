// A reply body from outside, through every parser of the server's queries.
#include "updateserver/UpdateServerRequest.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string body(reinterpret_cast<const char *>(data), size);
    bool ok = UpdateServerRequest::ParseOk(body);

    std::string build, firmware;
    if (UpdateServerRequest::ParseQueryBuild(body, build, firmware) != ok)
        __builtin_trap();

    std::string copy = body, payload;
    if (UpdateServerRequest::ParseBuild(copy, payload) != ok)
        __builtin_trap();
    if (payload.size() > body.size() || payload.find('\n') != std::string::npos)
        __builtin_trap();

    UpdateServerRequest::BuildList builds;
    UpdateServerRequest::ParseBuildList(body, builds);
    UpdateServerRequest::SortedBuildList sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    if (sorted.size() != builds.size())
        __builtin_trap();
    for (size_t i = 1; i < sorted.size(); ++i)
        if (UpdateServerRequest::_sortVersion(sorted[i], sorted[i - 1]))
            __builtin_trap();

    uint32_t serial = 0, recovery_build = 0;
    UpdateServerRequest::ParseRecoveryInfo(body, serial, recovery_build);

    std::string token;
    if (UpdateServerRequest::ParseDeviceJWT(body, token) && token.size() < 8)
        __builtin_trap();
    return 0;
}
