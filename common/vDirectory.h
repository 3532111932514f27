// Directories and paths. The separator is "/".
#pragma once

#include "common/vError.h"

#include <cstddef>
#include <cstdint>

typedef struct {
    const char *path;  // full path of the entry (valid during the callback only)
    uint32_t size;     // low 32 bits of the entry's size
    bool isDirectory;
} vDirectoryListData;

// Return false to stop the listing.
typedef bool (*vDirectoryListCallback)(const vDirectoryListData *entry, void *userData);

bool vDirectory_Exists(const char *path);
// Creates the directory and every missing parent with the given mode; an
// existing directory is success, anything else in the way vErrPermission.
vErr vDirectory_Ensure(const char *path, unsigned int mode);
// Calls callback for every entry (including "." and ".."), in the system's
// order; vErrNotFound when the directory cannot be read.
vErr vDirectory_List(const char *path, vDirectoryListCallback callback, void *userData);
// Removes an empty directory.
vErr vDirectory_Delete(const char *path);
// Removes the directory and everything below it; symbolic links are removed,
// never followed.
vErr vDirectory_DeleteTree(const char *path);
vErr vDirectory_CWD(char *buffer, size_t size);
vErr vDirectory_ExecutableFilePath(char *buffer, size_t size);
// Home directory from the password database, else from "HOME".
vErr vDirectory_GetHomeDirectory(char *buffer, size_t size);
vErr vDirectory_JoinPath(char *buffer, size_t size, const char *first, const char *second);
// Joins first and up to 10 further parts (list ends with null) with "/",
// adding a separator only where neither side has one. buffer may not be one
// of the parts (vErrParam); a part that does not fit gives vErrOverrun.
vErr vDirectory_BuildPath(char *buffer, size_t size, const char *first, ...);
