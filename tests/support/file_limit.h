// Writes beyond a given size fail while a FileSizeLimit is alive: a full disk
// that even root cannot write past.
#pragma once

#include <csignal>
#include <sys/resource.h>

namespace fixtures {

// Writes beyond this many bytes fail (EFBIG) while alive, for root as well.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        old_handler_ = signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, old_handler_);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    struct rlimit saved_;
    void (*old_handler_)(int);
};

}  // namespace fixtures
