// Files over POSIX stdio.
#include "common/vFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#define vVALIDFILE 0xFEED

struct vFileRecord {
    FILE *stream;
    int mode;
    uint16_t check;
};

namespace {

bool sValid(const vFile *file)
{
    return file && file->check == vVALIDFILE && file->stream;
}

bool sPathOk(const char *path)
{
    return path && path[0] && strnlen(path, vMAX_PATH_LENGTH + 1) <= vMAX_PATH_LENGTH;
}

// An update stream must be repositioned between a write and a read (and back);
// seeking by 0 does that without moving.
void sSwitchDirection(vFile *file)
{
    if (file->mode == vFileModeAppend)
        fseeko(file->stream, 0, SEEK_CUR);
}

} // namespace

bool vFile_Exists(const char *path)
{
    if (!sPathOk(path))
        return false;
    struct stat st;
    return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

vFile *vFile_Open(const char *path, int mode)
{
    static const char *const kModes[] = {"rb", "wb", "ab+"};
    if (!sPathOk(path) || mode < vFileModeRead || mode > vFileModeAppend)
        return nullptr;
    vFile *file = static_cast<vFile *>(calloc(1, sizeof(vFile)));
    if (!file)
        return nullptr;
    file->stream = fopen(path, kModes[mode]);
    if (!file->stream) {
        free(file);
        return nullptr;
    }
    if (mode == vFileModeAppend && fseeko(file->stream, 0, SEEK_END) != 0) {
        fclose(file->stream);
        free(file);
        return nullptr;
    }
    file->mode = mode;
    file->check = vVALIDFILE;
    return file;
}

vErr vFile_Close(vFile **file)
{
    if (!file || !sValid(*file)) {
        if (file)
            *file = nullptr;
        return vErrParam;
    }
    vFile *f = *file;
    *file = nullptr;
    int rc = fclose(f->stream);
    f->check = 0;
    f->stream = nullptr;
    free(f);
    return rc == 0 ? vErrNone : vErrIO;
}

vErr vFile_Read(vFile *file, void *buffer, size_t length, size_t *count)
{
    if (count)
        *count = 0;
    if (!sValid(file) || (!buffer && length))
        return vErrParam;
    if (file->mode == vFileModeWrite)
        return vErrMode;
    sSwitchDirection(file);
    size_t n = fread(buffer, 1, length, file->stream);
    if (count)
        *count = n;
    if (n == 0 && length > 0)
        return ferror(file->stream) ? vErrIO : vErrEOF;
    return vErrNone;
}

vErr vFile_Write(vFile *file, const void *data, size_t length, size_t *count)
{
    if (count)
        *count = 0;
    if (!sValid(file) || (!data && length))
        return vErrParam;
    if (file->mode == vFileModeRead)
        return vErrMode;
    sSwitchDirection(file);
    size_t n = fwrite(data, 1, length, file->stream);
    if (count)
        *count = n;
    if (n == 0 && length > 0)
        return vErrIO;
    return vErrNone;
}

vErr vFile_GetSize(vFile *file, uint64_t *size)
{
    if (!sValid(file) || !size)
        return vErrParam;
    off_t here = ftello(file->stream);
    if (here < 0 || fseeko(file->stream, 0, SEEK_END) != 0)
        return vErrIO;
    off_t end = ftello(file->stream);
    if (fseeko(file->stream, here, SEEK_SET) != 0 || end < 0)
        return vErrIO;
    *size = uint64_t(end);
    return vErrNone;
}

vErr vFile_Seek(vFile *file, int64_t offset, int origin)
{
    if (!sValid(file) || origin < 0 || origin > 2)
        return vErrParam;
    uint64_t size = 0;
    vErr err = vFile_GetSize(file, &size);
    if (err != vErrNone)
        return err;
    int64_t base = 0;
    if (origin == 1) {
        off_t here = ftello(file->stream);
        if (here < 0)
            return vErrIO;
        base = here;
    } else if (origin == 2) {
        base = int64_t(size);
    }
    // Both operands are far below the limits (sizes of real files).
    int64_t target = base + offset;
    if (target < 0 || uint64_t(target) > size)
        return vErrRange;
    return fseeko(file->stream, off_t(target), SEEK_SET) == 0 ? vErrNone : vErrIO;
}

vErr vFile_GetPosition(vFile *file, uint64_t *position)
{
    if (!sValid(file) || !position)
        return vErrParam;
    off_t here = ftello(file->stream);
    if (here < 0)
        return vErrIO;
    *position = uint64_t(here);
    return vErrNone;
}

vErr vFile_Delete(const char *path)
{
    if (!path || !path[0])
        return vErrParam;
    if (strnlen(path, vMAX_PATH_LENGTH + 1) > vMAX_PATH_LENGTH)
        return vErrFileNameLength;
    if (unlink(path) == 0)
        return vErrNone;
    switch (errno) {
    case ENOENT:
        return vErrNotFound;
    case EACCES:
    case EPERM:
        return vErrPermission;
    default:
        return vErrIO;
    }
}

vErr vFile_ReadLine(vFile *file, char *buffer, size_t size, size_t *length)
{
    if (length)
        *length = 0;
    if (!sValid(file) || !buffer || size < 2 || size > size_t(INT32_MAX))
        return vErrParam;
    if (file->mode == vFileModeWrite)
        return vErrMode;
    sSwitchDirection(file);
    buffer[0] = '\0';
    if (!fgets(buffer, int(size), file->stream)) {
        buffer[0] = '\0';
        return ferror(file->stream) ? vErrIO : vErrEOF;
    }
    size_t n = strlen(buffer);
    if (length)
        *length = n;
    if (n == size - 1 && buffer[n - 1] != '\n')
        return vErrOverrun;
    return vErrNone;
}

vErr vFile_SetUnbuffered(vFile *file)
{
    if (!sValid(file))
        return vErrParam;
    if (file->mode == vFileModeRead)
        return vErrMode;
    return setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? vErrNone : vErrIO;
}

vErr vFile_Printf(vFile *file, const char *format, ...)
{
    if (!sValid(file) || !format)
        return vErrParam;
    if (file->mode == vFileModeRead)
        return vErrMode;
    sSwitchDirection(file);
    va_list args;
    va_start(args, format);
    int rc = vfprintf(file->stream, format, args);
    va_end(args);
    return rc < 0 ? vErrIO : vErrNone;
}
