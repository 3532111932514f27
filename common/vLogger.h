// Background logger: a thread that calls a writer callback over and over
// while enabled. The callback waits for its own data (with a time-out, so that
// disabling stays prompt) and writes it to the file.
#pragma once

#include "common/vError.h"
#include "common/vFile.h"

#include <cstdint>

typedef struct vLoggerRecord vLogger;
// The result is not used by the loop.
typedef vErr (*vLoggerCallback)(vFile *file, uint32_t reference);

// Opens path for append, unbuffered; returns a disabled logger or null.
vLogger *vLogger_Create(uint32_t reference, vLoggerCallback callback, const char *path);
// Starts the thread (vErrResource when it cannot); enabling twice is harmless.
vErr vLogger_Enable(vLogger *logger);
// Stops and joins the thread. Called from the callback it only asks the loop
// to end and returns at once.
vErr vLogger_Disable(vLogger *logger);
// Disables, closes the file, frees and sets *logger to null.
vErr vLogger_Destroy(vLogger **logger);
