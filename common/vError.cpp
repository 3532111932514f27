#include "common/vError.h"

namespace {

const char *const kDescriptions[] = {
    "Success, no error",
    "Memory allocation",
    "Invalid parameter",
    "Not found",
    "File name too long",
    "Resource busy",
    "Input/Output error",
    "Invalid Mode",
    "Write error",
    "Read error",
    "End of file",
    "Not ready, no bytes available",
    "Insufficient permissions",
    "Value out of range",
    "Invalid Size",
    "Buffer/queue overrun",
    "Parse error",
    "Configuration error",
    "Timeout occurred",
    "Initialization error",
    "Invalid version",
    "Functionality unimplemented",
    "Duplicate request",
    "Cancellation occurred, or did not complete",
    "Packet byte invalid",
    "Connection error",
    "Index out of range",
    "Corvantis command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

const char *const kNames[] = {
    "vErrNone", "vErrMemory", "vErrParam", "vErrNotFound", "vErrFileNameLength",
    "vErrBusy", "vErrIO", "vErrMode", "vErrWrite", "vErrRead", "vErrEOF",
    "vErrNotReady", "vErrPermission", "vErrRange", "vErrSize", "vErrOverrun",
    "vErrParse", "vErrConfiguration", "vErrTimeout", "vErrInitialization",
    "vErrVersion", "vErrUnimplemented", "vErrDuplicate", "vErrCancel",
    "vErrPacket", "vErrConnection", "vErrIndexRange", "vErrShortCommand",
    "vErrInvalidEntity", "vErrInvalidOption", "vErrResource", "vErrMedia",
    "vErrAsyncReturn", "vErrStreamStale", "vErrUnknown",
};

static_assert(sizeof(kDescriptions) / sizeof(kDescriptions[0]) == vErrUnknown + 1, "one text per code");
static_assert(sizeof(kNames) / sizeof(kNames[0]) == vErrUnknown + 1, "one name per code");

} // namespace

const char *vError_GetErrorDescription(unsigned int code)
{
    return kDescriptions[code > unsigned(vErrUnknown) ? unsigned(vErrUnknown) : code];
}

vErr vError_FromDevice(unsigned int code)
{
    return code > unsigned(vErrUnknown) ? vErrUnknown : vErr(code);
}

const char *vError_GetErrorText(unsigned int code)
{
    return kNames[code > unsigned(vErrUnknown) ? unsigned(vErrUnknown) : code];
}
