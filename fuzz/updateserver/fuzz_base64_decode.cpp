// Base64 text from outside: decode it; what decodes must survive a round trip.
#include "updateserver/base64.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t length = 0;
    uint8_t *bytes = base64_decode(reinterpret_cast<const char *>(data), size, &length);
    if (!bytes)
        return 0;
    if (bytes[length] != 0 || length > size / 4 * 3)
        __builtin_trap();
    size_t text_length = 0, back_length = 0;
    char *text = base64_encode(bytes, length, &text_length);
    uint8_t *back = text ? base64_decode(text, text_length, &back_length) : nullptr;
    if (!back || back_length != length || memcmp(back, bytes, length) != 0 || text_length != size)
        __builtin_trap();
    free(back);
    free(text);
    free(bytes);
    return 0;
}
