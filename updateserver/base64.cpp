#include "updateserver/base64.h"

#include <cstdlib>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr uint8_t kInvalid = 0xFF;

struct DecodeTable {
    uint8_t value[256];
    constexpr DecodeTable() : value()
    {
        for (int i = 0; i < 256; ++i)
            value[i] = kInvalid;
        for (int i = 0; i < 64; ++i)
            value[(unsigned char)kAlphabet[i]] = (uint8_t)i;
    }
};

constexpr DecodeTable kDecode;

} // namespace

char *base64_encode(const uint8_t *data, size_t length, size_t *out_length)
{
    if (out_length)
        *out_length = 0;
    if (!data && length)
        return nullptr;
    if (length > (SIZE_MAX - 1) / 4 * 3 - 3)
        return nullptr;
    size_t size = (length + 2) / 3 * 4;
    char *text = static_cast<char *>(malloc(size + 1));
    if (!text)
        return nullptr;
    size_t o = 0, i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t v = (uint32_t)data[i] << 16 | (uint32_t)data[i + 1] << 8 | data[i + 2];
        text[o++] = kAlphabet[v >> 18];
        text[o++] = kAlphabet[(v >> 12) & 63];
        text[o++] = kAlphabet[(v >> 6) & 63];
        text[o++] = kAlphabet[v & 63];
    }
    if (length - i == 1) {
        uint32_t v = (uint32_t)data[i] << 16;
        text[o++] = kAlphabet[v >> 18];
        text[o++] = kAlphabet[(v >> 12) & 63];
        text[o++] = '=';
        text[o++] = '=';
    } else if (length - i == 2) {
        uint32_t v = (uint32_t)data[i] << 16 | (uint32_t)data[i + 1] << 8;
        text[o++] = kAlphabet[v >> 18];
        text[o++] = kAlphabet[(v >> 12) & 63];
        text[o++] = kAlphabet[(v >> 6) & 63];
        text[o++] = '=';
    }
    text[o] = '\0';
    if (out_length)
        *out_length = o;
    return text;
}

uint8_t *base64_decode(const char *text, size_t length, size_t *out_length)
{
    if (out_length)
        *out_length = 0;
    if ((!text && length) || length % 4 != 0)
        return nullptr;
    size_t padding = 0;
    if (length >= 4 && text[length - 1] == '=')
        padding = text[length - 2] == '=' ? 2 : 1;
    size_t size = length / 4 * 3 - padding;
    uint8_t *out = static_cast<uint8_t *>(malloc(size + 1));
    if (!out)
        return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < length; i += 4) {
        bool last = i + 4 == length;
        uint32_t v = 0;
        for (size_t j = 0; j < 4; ++j) {
            unsigned char c = (unsigned char)text[i + j];
            uint8_t bits;
            // "=" stands for zero bits, and only in the padded places.
            if (c == '=' && last && j >= 4 - padding) {
                bits = 0;
            } else {
                bits = kDecode.value[c];
                if (bits == kInvalid) {
                    free(out);
                    return nullptr;
                }
            }
            v = v << 6 | bits;
        }
        size_t n = last ? 3 - padding : 3;
        out[o++] = (uint8_t)(v >> 16);
        if (n > 1)
            out[o++] = (uint8_t)(v >> 8);
        if (n > 2)
            out[o++] = (uint8_t)v;
    }
    out[o] = 0;
    if (out_length)
        *out_length = o;
    return out;
}
