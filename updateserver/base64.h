// Base64 with the standard alphabet (A-Z a-z 0-9 + /), "=" padding and no
// line breaks: the form in which the update server carries firmware images.
#pragma once

#include <cstddef>
#include <cstdint>

// 4 * ceil(length / 3) characters and a terminating zero, allocated with
// malloc (release with free); null when memory runs out. out_length (may be
// null) receives the character count.
char *base64_encode(const uint8_t *data, size_t length, size_t *out_length);

// Decodes clean Base64: the length must be a multiple of 4, every character
// must be of the alphabet, and "=" may only pad the last one or two places.
// Returns malloc'd bytes with one zero byte after them (release with free),
// or null for malformed text or no memory. Empty text gives an empty result.
uint8_t *base64_decode(const char *text, size_t length, size_t *out_length);
