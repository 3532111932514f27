// An image download as the server sends it: the input, Base64-encoded, is the
// second line of an "ok" reply, so every input gets past the reply and
// Base64 checks to the image loader the download runs. The first input byte
// shapes the reply around it: a CR after "ok", empty lines before and after
// the image line, and lines after it, all of which the parser must pass over.
#include "store/BirdFile.h"
#include "updateserver/UpdateServerRequest.h"
#include "updateserver/base64.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t shape = data[0];
    const uint8_t *image = data + 1;
    size_t image_size = size - 1;

    size_t text_length = 0;
    char *text = base64_encode(image, image_size, &text_length);
    if (!text)
        return 0;
    std::string body = (shape & 1) ? "ok\r\n" : "ok\n";
    if (shape & 2)
        body += "\n\n";
    body.append(text, text_length);
    body += '\n';
    if (shape & 4)
        body += "\n";
    if (shape & 8)
        body += "1234;2.12.4\nrest of the reply\n";
    free(text);

    if (!UpdateServerRequest::ParseOk(body))
        __builtin_trap();
    std::string payload, reply = body;
    if (!UpdateServerRequest::ParseBuild(reply, payload))
        __builtin_trap();
    // An empty image makes an empty line, which the split drops: the line
    // after it (if any) is taken instead.
    if (image_size > 0 && payload.size() != text_length)
        __builtin_trap();

    size_t length = 0;
    uint8_t *bytes = base64_decode(payload.data(), payload.size(), &length);
    if (image_size > 0 && (!bytes || length != image_size || memcmp(bytes, image, image_size) != 0))
        __builtin_trap();
    if (bytes && BirdFile::VerifyHeader(bytes, length)) {
        BirdFile bird;
        if (bird.LoadBuffer(bytes, length)) {
            bird.GetBuild();
            bird.GetVersion();
            bird.GetSerialNumber();
        }
    }
    free(bytes);
    return 0;
}
