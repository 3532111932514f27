#include "store/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<unsigned> sSequence{0};

bool sWriteAll(int fd, const char *data, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        length -= (size_t)n;
    }
    return true;
}

} // namespace

vErr AtomicFile_Write(const std::string &path, const void *data, size_t length)
{
    if (path.empty() || (!data && length))
        return vErrParam;
    // Keep what opening the target itself for writing would refuse.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || access(path.c_str(), W_OK) != 0))
        return vErrNotFound;

    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);

    // O_EXCL with a fresh name per attempt; mode 0666 lets the umask decide,
    // as creating the file directly would.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        char suffix[32];
        snprintf(suffix, sizeof suffix, ".tmp.%d.%u", (int)getpid(), sSequence.fetch_add(1));
        temp = dir + suffix;
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return vErrNotFound;
    }
    if (fd < 0)
        return vErrNotFound;

    bool ok = sWriteAll(fd, static_cast<const char *>(data), length) && fsync(fd) == 0;
    int failure = ok ? 0 : errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        failure = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        failure = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        errno = failure;
        return vErrIO;
    }
    // Make the rename itself durable; a directory that cannot be synced
    // still holds the complete file.
    int dfd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return vErrNone;
}
