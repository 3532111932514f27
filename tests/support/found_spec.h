// A link specifier handed out by a discovery lookup, released at scope exit.
#pragma once

#include "common/vLinkSpecifier.h"

namespace fixtures {

struct Found {
    linkSpec *spec;
    explicit Found(linkSpec *s) : spec(s) {}
    ~Found()
    {
        if (spec)
            vLinkSpec_Destroy(&spec);
    }
    Found(const Found &) = delete;
    Found &operator=(const Found &) = delete;
};

}  // namespace fixtures
