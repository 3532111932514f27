// Whole-file replacement that never leaves a truncated file behind.
#pragma once

#include "common/vError.h"

#include <cstddef>
#include <string>

// Writes length bytes to a new hidden file beside path (".tmp.PID.N": store
// listings skip a leftover one and no name search matches it), flushes it to disk and renames it over
// path. On any failure the temporary file is removed and path is untouched.
// vErrNotFound: the file cannot be created (or path names a directory, or an
// existing file that may not be written); vErrIO: the write, flush or rename failed.
vErr AtomicFile_Write(const std::string &path, const void *data, size_t length);
