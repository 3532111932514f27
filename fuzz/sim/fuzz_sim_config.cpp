// Device descriptions: any text is either a configuration or a ConfigError.
#include "sim/SimConfig.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    try {
        cvsim::SimConfig c = cvsim::Parse_Config_Json(text);
        cvsim::Validate_Config(c);
    } catch (const cvsim::ConfigError &) {
    }
    try {
        (void)cvsim::Parse_Device_Option(text);
    } catch (const cvsim::ConfigError &) {
    }
    return 0;
}
