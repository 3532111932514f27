#include "common/vLinkSpecifier.h"

#include <cstdlib>
#include <cstring>

linkSpec *vLinkSpec_Create(uint32_t type)
{
    linkSpec *spec = static_cast<linkSpec *>(calloc(1, sizeof(linkSpec)));
    if (spec)
        spec->type = type;
    return spec;
}

linkSpec *vLinkSpec_Copy(const linkSpec *spec)
{
    if (!spec)
        return nullptr;
    linkSpec *copy = static_cast<linkSpec *>(malloc(sizeof(linkSpec)));
    if (copy)
        memcpy(copy, spec, sizeof(linkSpec));
    return copy;
}

vErr vLinkSpec_Destroy(linkSpec **spec)
{
    if (!spec || !*spec)
        return vErrParam;
    free(*spec);
    *spec = nullptr;
    return vErrNone;
}
