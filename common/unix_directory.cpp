// Directories and paths over POSIX.
#include "common/vDirectory.h"
#include "common/vFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#define vBUILDPATH_MAX_PARTS 10

namespace {

bool sPathOk(const char *path)
{
    return path && path[0] && strnlen(path, vMAX_PATH_LENGTH + 1) <= vMAX_PATH_LENGTH;
}

std::string sJoin(const std::string &dir, const char *name)
{
    std::string full = dir;
    if (!full.empty() && full.back() != '/')
        full += '/';
    return full + name;
}

bool sIsDotEntry(const char *name)
{
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

vErr sDeleteTree(const std::string &path)
{
    DIR *dir = opendir(path.c_str());
    if (!dir)
        return vErrNotFound;
    // Collect first so that removing entries does not disturb the listing.
    std::vector<std::string> names;
    while (struct dirent *entry = readdir(dir))
        if (!sIsDotEntry(entry->d_name))
            names.push_back(entry->d_name);
    closedir(dir);

    for (const std::string &name : names) {
        std::string full = sJoin(path, name.c_str());
        struct stat st;
        if (lstat(full.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            vErr err = sDeleteTree(full);
            if (err != vErrNone)
                return vErrUnknown;
        } else if (unlink(full.c_str()) != 0) {
            perror("vDirectory_DeleteTree");
            fprintf(stderr, "---error unlink-ing file [%s]\n", full.c_str());
            return vErrUnknown;
        }
    }
    return rmdir(path.c_str()) == 0 ? vErrNone : vErrUnknown;
}

} // namespace

bool vDirectory_Exists(const char *path)
{
    if (!sPathOk(path))
        return false;
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

vErr vDirectory_Ensure(const char *path, unsigned int mode)
{
    if (!path || !path[0])
        return vErrParam;
    if (strnlen(path, vMAX_PATH_LENGTH + 1) > vMAX_PATH_LENGTH)
        return vErrFileNameLength;
    if (vDirectory_Exists(path))
        return vErrNone;
    // Create each prefix that ends before a separator, then the whole path.
    std::string p(path);
    for (size_t i = 1; i <= p.size(); ++i) {
        if (i < p.size() && p[i] != '/')
            continue;
        if (p[i - 1] == '/')
            continue;
        std::string prefix = p.substr(0, i);
        if (mkdir(prefix.c_str(), mode_t(mode)) != 0 && errno != EEXIST)
            return vErrPermission;
    }
    // Something other than a directory may already sit at the path.
    return vDirectory_Exists(path) ? vErrNone : vErrPermission;
}

vErr vDirectory_List(const char *path, vDirectoryListCallback callback, void *userData)
{
    if (!sPathOk(path) || !callback)
        return vErrParam;
    DIR *dir = opendir(path);
    if (!dir)
        return vErrNotFound;
    std::string base(path);
    while (struct dirent *entry = readdir(dir)) {
        std::string full = sJoin(base, entry->d_name);
        struct stat st;
        if (stat(full.c_str(), &st) != 0)
            continue;
        vDirectoryListData data;
        data.path = full.c_str();
        data.size = uint32_t(st.st_size);
        data.isDirectory = S_ISDIR(st.st_mode);
        if (!callback(&data, userData))
            break;
    }
    closedir(dir);
    return vErrNone;
}

vErr vDirectory_Delete(const char *path)
{
    if (!sPathOk(path))
        return vErrParam;
    return rmdir(path) == 0 ? vErrNone : vErrUnknown;
}

vErr vDirectory_DeleteTree(const char *path)
{
    if (!sPathOk(path))
        return vErrParam;
    return sDeleteTree(path);
}

vErr vDirectory_CWD(char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return vErrParam;
    return getcwd(buffer, size) ? vErrNone : vErrParam;
}

vErr vDirectory_ExecutableFilePath(char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return vErrParam;
    ssize_t n = readlink("/proc/self/exe", buffer, size);
    // A result that fills the buffer may have been cut short.
    if (n < 0 || size_t(n) >= size) {
        buffer[0] = '\0';
        return vErrRead;
    }
    buffer[n] = '\0';
    return vErrNone;
}

vErr vDirectory_GetHomeDirectory(char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return vErrParam;
    const char *home = nullptr;
    struct passwd pw;
    struct passwd *found = nullptr;
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(suggested > 0 ? size_t(suggested) : 16384);
    int rc;
    while ((rc = getpwuid_r(getuid(), &pw, scratch.data(), scratch.size(), &found)) == ERANGE &&
           scratch.size() < (1u << 20))
        scratch.resize(scratch.size() * 2);
    if (rc == 0 && found && found->pw_dir && found->pw_dir[0])
        home = found->pw_dir;
    if (!home) {
        home = getenv("HOME");
        if (!home || !home[0])
            return vErrNotFound;
    }
    if (strlen(home) >= size)
        return vErrOverrun;
    strcpy(buffer, home);
    return vErrNone;
}

vErr vDirectory_JoinPath(char *buffer, size_t size, const char *first, const char *second)
{
    return vDirectory_BuildPath(buffer, size, first, second, static_cast<const char *>(nullptr));
}

vErr vDirectory_BuildPath(char *buffer, size_t size, const char *first, ...)
{
    if (!buffer || size == 0 || !first || buffer == first)
        return vErrParam;
    const char *parts[vBUILDPATH_MAX_PARTS];
    size_t count = 0;
    va_list args;
    va_start(args, first);
    for (;;) {
        const char *part = va_arg(args, const char *);
        if (!part)
            break;
        if (count == vBUILDPATH_MAX_PARTS || part == buffer) {
            va_end(args);
            return vErrParam;
        }
        parts[count++] = part;
    }
    va_end(args);

    size_t length = strlen(first);
    if (length >= size)
        return vErrOverrun;
    memcpy(buffer, first, length + 1);
    for (size_t i = 0; i < count; ++i) {
        const char *part = parts[i];
        size_t partLength = strlen(part);
        // No separator next to an empty side: "" and "b" stay the relative "b".
        bool separator = length > 0 && partLength > 0 && buffer[length - 1] != '/' && part[0] != '/';
        size_t needed = length + (separator ? 1 : 0) + partLength;
        if (needed >= size)
            return vErrOverrun;
        if (separator)
            buffer[length++] = '/';
        memcpy(buffer + length, part, partLength + 1);
        length += partLength;
    }
    return vErrNone;
}
