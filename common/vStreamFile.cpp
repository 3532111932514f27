// File streams: a file record read byte by byte, or written.
#include "common/vFile.h"
#include "common/vStream.h"

namespace {

vErr sFileGet(uint8_t *byte, void *ref)
{
    if (byte == nullptr)
        return vErrParam;
    size_t count = 0;
    return vFile_Read(static_cast<vFile *>(ref), byte, 1, &count);
}

vErr sFileWrite(const uint8_t *data, uint32_t length, void *ref)
{
    if (length == 0)
        return vErrNone;
    size_t count = 0;
    vErr err = vFile_Write(static_cast<vFile *>(ref), data, length, &count);
    if (err == vErrNone && count != length)
        return vErrIO;
    return err;
}

vErr sFilePut(uint8_t byte, void *ref)
{
    return sFileWrite(&byte, 1, ref);
}

vErr sFileDelete(void *ref)
{
    vFile *file = static_cast<vFile *>(ref);
    return vFile_Close(&file);
}

vErr sCreate(const char *path, int mode, vStream **stream)
{
    if (stream == nullptr)
        return vErrParam;
    *stream = nullptr;
    vFile *file = vFile_Open(path, mode);
    if (file == nullptr)
        return vErrResource;
    vStream *made = mode == vFileModeRead
                        ? vStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                        : vStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
    if (made == nullptr) {
        vFile_Close(&file);
        return vErrResource;
    }
    *stream = made;
    return vErrNone;
}

} // namespace

vErr vStream_CreateFileInput(const char *path, vStream **stream)
{
    return sCreate(path, vFileModeRead, stream);
}

vErr vStream_CreateFileOutput(const char *path, vStream **stream)
{
    return sCreate(path, vFileModeWrite, stream);
}
