#include "store/path.h"

#include <cstdarg>

std::string BuildPath(const char *first, ...)
{
    std::string path = first ? first : "";
    va_list parts;
    va_start(parts, first);
    while (const char *part = va_arg(parts, const char *)) {
        path += "/";
        path += part;
    }
    va_end(parts);
    return path;
}
