#include "store/KeyValueStore.h"

#include "common/Log.h"
#include "common/vFile.h"
#include "store/AtomicFile.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

const char *const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char *const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char *const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

bool sSpace(char c)
{
    return isspace((unsigned char)c) != 0;
}

} // namespace

KeyValueStore::KeyValueStore(const char *path)
{
    if (path)
        Load(path);
}

std::string KeyValueStore::TimeStamp()
{
    time_t now = time(nullptr);
    char text[64];
    if (!ctime_r(&now, text))
        return std::string();
    std::string stamp(text);
    if (!stamp.empty() && stamp.back() == '\n')
        stamp.pop_back();
    return stamp;
}

const char *KeyValueStore::operator[](const std::string &key) const
{
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : it->second.c_str();
}

const std::string *KeyValueStore::_lookup(const std::string &key)
{
    // Asking for a key records it, so that a later save lists it.
    const std::string &value = entries_.emplace(key, std::string()).first->second;
    return value.empty() ? nullptr : &value;
}

int KeyValueStore::GetInt(const std::string &key, int default_value)
{
    const std::string *value = _lookup(key);
    return value ? atoi(value->c_str()) : default_value;
}

unsigned KeyValueStore::GetHex(const std::string &key, unsigned default_value)
{
    const std::string *value = _lookup(key);
    return value ? (unsigned)strtol(value->c_str(), nullptr, 16) : default_value;
}

bool KeyValueStore::GetBOOL(const std::string &key, bool default_value)
{
    const std::string *value = _lookup(key);
    return value ? atoi(value->c_str()) != 0 : default_value;
}

double KeyValueStore::GetDouble(const std::string &key, double default_value)
{
    const std::string *value = _lookup(key);
    return value ? atof(value->c_str()) : default_value;
}

std::string KeyValueStore::GetString(const std::string &key, const char *default_value) const
{
    auto it = entries_.find(key);
    if (it != entries_.end())
        return it->second;
    return default_value ? default_value : "";
}

bool KeyValueStore::Add(const std::string &key, const std::string &value)
{
    std::string &current = entries_[key];
    if (current != value) {
        current = value;
        modified_ = true;
    }
    return true;
}

bool KeyValueStore::Add(const std::string &key, const char *value)
{
    return Add(key, std::string(value ? value : ""));
}

bool KeyValueStore::Add(const std::string &key, int value)
{
    char text[16];
    snprintf(text, sizeof text, "%d", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::Add(const std::string &key, double value)
{
    char text[512];
    snprintf(text, sizeof text, "%f", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const std::string &key, unsigned value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore &other)
{
    for (const auto &entry : other.entries_)
        entries_[entry.first] = entry.second;
    if (!other.entries_.empty())
        modified_ = true;
    return true;
}

bool KeyValueStore::Clear()
{
    entries_.clear();
    modified_ = true;
    return true;
}

void KeyValueStore::_parse_line(const char *line, size_t length)
{
    if (length < 3 || line[0] == '#')
        return;
    size_t key_start = 0;
    while (key_start < length && sSpace(line[key_start]))
        ++key_start;
    size_t equals = key_start;
    while (equals < length && line[equals] != '=')
        ++equals;
    size_t key_end = equals;
    while (key_end > key_start && sSpace(line[key_end - 1]))
        --key_end;
    // An empty key ("=value", or a blank line) names nothing.
    if (key_end == key_start)
        return;
    std::string value;
    if (equals < length) {
        size_t value_start = equals + 1, value_end = length;
        while (value_start < value_end && sSpace(line[value_start]))
            ++value_start;
        while (value_end > value_start && sSpace(line[value_end - 1]))
            --value_end;
        value.assign(line + value_start, value_end - value_start);
    }
    entries_[std::string(line + key_start, key_end - key_start)] = value;
}

void KeyValueStore::Load(const char *path)
{
    if (!path)
        return;
    vFile *file = vFile_Open(path, vFileModeRead);
    if (!file) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path, errno);
        // Both stamps of a new file carry the same time.
        std::string stamp = TimeStamp();
        Add(KEY_CREATED_TIME, stamp);
        _save(path, stamp);
        path_ = path;
        modified_ = false;
        return;
    }
    path_ = path;
    modified_ = false;
    char line[LINE_BUFFER_SIZE];
    size_t length = 0;
    // Ends at the end of the file, a read error, or a line too long for the buffer.
    while (vFile_ReadLine(file, line, sizeof line, &length) == vErrNone)
        _parse_line(line, length);
    vFile_Close(&file);
}

bool KeyValueStore::Save(const char *path)
{
    return _save(path, TimeStamp());
}

bool KeyValueStore::_save(const char *path, const std::string &stamp)
{
    if (path) {
        path_ = path;
    } else if (path_.empty()) {
        path_ = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n", path_.c_str());
    }
    if (modified_)
        Add(KEY_UPDATED_TIME, stamp);
    std::string text;
    for (const auto &entry : entries_) {
        text += entry.first;
        text += '=';
        text += entry.second;
        text += '\n';
    }
    if (AtomicFile_Write(path_, text.data(), text.size()) != vErrNone) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 path_.c_str(), errno);
        return false;
    }
    modified_ = false;
    return true;
}
