// Replays files (or every file of the folders) given on the command line
// through the fuzz target once; used where libFuzzer is not available.
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
// A target's one-time set-up, where it has one.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

static int replay_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 0;
}

static int replay(const std::string &path, int &count)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return 1;
    if (!S_ISDIR(st.st_mode)) {
        ++count;
        return replay_file(path);
    }
    DIR *dir = opendir(path.c_str());
    if (!dir)
        return 1;
    int failures = 0;
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        failures += replay(path + "/" + name, count);
    }
    closedir(dir);
    return failures;
}

int main(int argc, char **argv)
{
    int count = 0, failures = 0;
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    // An empty input always runs, so a target with no seeds is still exercised.
    LLVMFuzzerTestOneInput(nullptr, 0);
    for (int i = 1; i < argc; ++i)
        failures += replay(argv[i], count);
    std::printf("replayed %d inputs\n", count);
    return failures ? 1 : 0;
}
