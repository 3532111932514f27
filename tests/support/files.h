// Temporary directories and whole files for tests and benchmarks. The
// removal walks the tree itself rather than through the library under test.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <cstdio>
#include <ftw.h>
#include <iterator>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fixtures {

// A fresh directory under TMPDIR (or /tmp), removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/updater-test.XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!mkdtemp(buffer.data()))
            throw std::runtime_error("cannot make a temporary directory from " + pattern);
        path_ = buffer.data();
    }
    ~TempDir() { remove(); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // Removes the directory with everything in it, also what a test made
    // unreadable (as a user other than root); true when it is gone.
    bool remove()
    {
        // A directory that could not be read is opened up and the walk made
        // again, for what lies below it.
        static thread_local bool unread;
        auto open_up = [](const char *p, const struct stat *, int type, struct FTW *) {
            if (type == FTW_D || type == FTW_DNR)
                chmod(p, 0700);
            unread = unread || type == FTW_DNR;
            return 0;
        };
        auto remove_one = [](const char *p, const struct stat *, int, struct FTW *) {
            ::remove(p);
            return 0;
        };
        for (int walk = 0; walk < 16; walk++) {
            unread = false;
            nftw(path_.c_str(), open_up, 16, FTW_PHYS);
            if (!unread)
                break;
        }
        nftw(path_.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
        struct stat st;
        return lstat(path_.c_str(), &st) != 0;
    }

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    // Writes a file of the directory; returns its path.
    std::string write(const std::string &name, const std::string &bytes) const;

private:
    std::string path_;
};

inline std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

inline std::string TempDir::write(const std::string &name, const std::string &bytes) const
{
    WriteFile(*this / name, bytes);
    return *this / name;
}

inline bool Exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Names in a directory except "." and "..", sorted.
inline std::vector<std::string> ListDir(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (struct dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace fixtures
