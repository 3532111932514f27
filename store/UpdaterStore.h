// The local firmware store: a root directory with one directory per device
// ("%08X" serial number), each holding the ".settings" attribute file and the
// downloaded images ("BUILD.bird").
#pragma once

#include "common/vError.h"
#include "store/BirdFile.h"
#include "store/KeyValueStore.h"
#include "store/path.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef enum {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,
} store_item_t;

// One entry of the store (a device directory, or a file in one) with the
// attributes loaded from base/name/.settings.
class UpdaterStoreItem {
public:
    UpdaterStoreItem();
    UpdaterStoreItem(const std::string &base, const std::string &name, store_item_t type);

    bool IsValid() const { return !base.empty() && !name.empty(); }
    // True when an entry of base/name has a full path containing file_name.
    bool FileExists(const std::string &file_name) const;
    // Replaces base/name/file_name with length bytes of data, whole or not at
    // all. vErrNotFound for null data or a file that cannot be created.
    vErr WriteFile(const std::string &file_name, const void *data, size_t length) const;
    // Throws std::runtime_error("Invalid bird " + path) when the header check
    // fails, or the loader's own error when the content does not load.
    BirdFile ReadBirdFile(const std::string &file_name) const;

    // base/name
    std::string Path() const { return BuildPath(base.c_str(), name.c_str(), nullptr); }

    std::string base;
    std::string name;
    store_item_t type;
    KeyValueStore attributes;
};

// State handed to the directory-listing callbacks.
struct result_t {
    bool found = false;
    std::string search;
    UpdaterStoreItem *item = nullptr;
    // The entry's name must be search itself, not only contain it somewhere
    // in its full path (which would also match every entry below a root
    // whose own path holds the text).
    bool whole_name = false;
};

class UpdaterStore {
public:
    // Ensures root is a directory; throws std::runtime_error when it cannot.
    explicit UpdaterStore(const std::string &root);

    const std::string &BasePath() const { return root_; }

    UpdaterStoreItem AddDevice(uint32_t serial);
    UpdaterStoreItem AddDevice(const std::string &name);
    // The root's entry named name ("%08X" of serial), filling item when given.
    bool FindDevice(uint32_t serial, UpdaterStoreItem *item = nullptr) const;
    bool FindDevice(const std::string &name, UpdaterStoreItem *item = nullptr) const;
    // Appends an item for every entry of the device's directory whose name
    // does not begin with "."; always true.
    bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem> &items) const;

private:
    std::string root_;
};
