// Files: a thin layer over stdio with a validity mark on every record.
#pragma once

#include "common/vError.h"

#include <cstddef>
#include <cstdint>

// Longest path the file and directory functions accept.
#define vMAX_PATH_LENGTH 4096

enum {
    vFileModeRead = 0,   // "rb"
    vFileModeWrite = 1,  // "wb", truncating
    vFileModeAppend = 2, // "ab+": writes go to the end, reads are allowed
};

typedef struct vFileRecord vFile;

// True when the path exists and is not a directory.
bool vFile_Exists(const char *path);
// Returns the open file or null (bad path or mode, open failure, no memory).
vFile *vFile_Open(const char *path, int mode);
// Closes and frees the file and sets *file to null (also on failure).
vErr vFile_Close(vFile **file);
// Reads up to length bytes; count (may be null) receives the number read.
// Nothing read for a non-zero request gives vErrEOF.
vErr vFile_Read(vFile *file, void *buffer, size_t length, size_t *count);
vErr vFile_Write(vFile *file, const void *data, size_t length, size_t *count);
// origin 0 start, 1 current position, 2 end; the target must lie in 0..size.
vErr vFile_Seek(vFile *file, int64_t offset, int origin);
// Size in bytes; the position is unchanged.
vErr vFile_GetSize(vFile *file, uint64_t *size);
vErr vFile_GetPosition(vFile *file, uint64_t *position);
vErr vFile_Delete(const char *path);
// Reads one line with its newline into buffer (terminated); length receives
// the text length. A line that fills the buffer without a newline gives vErrOverrun.
vErr vFile_ReadLine(vFile *file, char *buffer, size_t size, size_t *length);
vErr vFile_SetUnbuffered(vFile *file);
vErr vFile_Printf(vFile *file, const char *format, ...) __attribute__((format(printf, 2, 3)));
