#include "store/UpdaterStore.h"

#include "common/Log.h"
#include "common/vDefs.h"
#include "common/vDirectory.h"
#include "store/AtomicFile.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>

namespace {

constexpr unsigned kDirectoryMode = 0755;

void sEnsureDirectory(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        vErr err = vDirectory_Ensure(path.c_str(), kDirectoryMode);
        if (err != vErrNone)
            throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                     std::to_string((int)err));
        Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
    } else if (!S_ISDIR(st.st_mode)) {
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    } else {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    }
}

std::string sSettingsPath(const std::string &base, const std::string &name)
{
    return BuildPath(base.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
}

const char *sLastPart(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

bool sFindItem(const vDirectoryListData *entry, void *user)
{
    result_t *result = static_cast<result_t *>(user);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             (int)entry->isDirectory, (int)entry->size, result->search.c_str());
    const char *name = sLastPart(entry->path);
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return true;
    if (result->whole_name ? result->search != name : !strstr(entry->path, result->search.c_str()))
        return true;
    result->found = true;
    if (result->item) {
        std::string full(entry->path);
        size_t slash = full.rfind('/');
        std::string base = slash == std::string::npos ? std::string() : full.substr(0, slash);
        std::string leaf = slash == std::string::npos ? full : full.substr(slash + 1);
        *result->item =
            UpdaterStoreItem(base, leaf, entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    }
    return false;
}

struct ItemList {
    std::string base;
    std::vector<UpdaterStoreItem> *items;
};

bool sFindItems(const vDirectoryListData *entry, void *user)
{
    ItemList *list = static_cast<ItemList *>(user);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, (int)entry->isDirectory,
             (int)entry->size);
    const char *name = sLastPart(entry->path);
    if (name[0] != '.')
        list->items->emplace_back(list->base, name, entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

} // namespace

UpdaterStoreItem::UpdaterStoreItem() : type(STORE_ITEM_NONE) {}

UpdaterStoreItem::UpdaterStoreItem(const std::string &base_, const std::string &name_, store_item_t type_)
    : base(base_), name(name_), type(type_)
{
    attributes.Load(sSettingsPath(base, name).c_str());
}

bool UpdaterStoreItem::FileExists(const std::string &file_name) const
{
    result_t result;
    result.search = file_name;
    vDirectory_List(Path().c_str(), sFindItem, &result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found",
             file_name.c_str());
    return result.found;
}

vErr UpdaterStoreItem::WriteFile(const std::string &file_name, const void *data, size_t length) const
{
    if (!data)
        return vErrNotFound;
    return AtomicFile_Write(BuildPath(base.c_str(), name.c_str(), file_name.c_str(), nullptr), data, length);
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string &file_name) const
{
    std::string path = BuildPath(base.c_str(), name.c_str(), file_name.c_str(), nullptr);
    if (!BirdFile::VerifyFile(path))
        throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path);
}

UpdaterStore::UpdaterStore(const std::string &root) : root_(root)
{
    sEnsureDirectory(root_);
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial)
{
    return AddDevice(vDefs_SerialText(serial));
}

UpdaterStoreItem UpdaterStore::AddDevice(const std::string &name)
{
    sEnsureDirectory(BuildPath(root_.c_str(), name.c_str(), nullptr));
    return UpdaterStoreItem(root_, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem *item) const
{
    return FindDevice(vDefs_SerialText(serial), item);
}

bool UpdaterStore::FindDevice(const std::string &name, UpdaterStoreItem *item) const
{
    result_t result;
    result.search = name;
    result.item = item;
    result.whole_name = true;
    vDirectory_List(root_.c_str(), sFindItem, &result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found", name.c_str());
    return result.found;
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem> &items) const
{
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device))
        return true;
    ItemList list{device.Path(), &items};
    vDirectory_List(list.base.c_str(), sFindItems, &list);
    return true;
}
