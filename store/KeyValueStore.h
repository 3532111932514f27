// A small persistent dictionary of text keys and values, kept as "key=value"
// lines in a text file and stamped with its creation and last-update times.
#pragma once

#include <map>
#include <string>

class KeyValueStore {
public:
    static const char *const DEFAULT_FILENAME;
    static const char *const KEY_CREATED_TIME;
    static const char *const KEY_UPDATED_TIME;
    // Lines this long or longer (before the line feed) end reading.
    static constexpr size_t LINE_BUFFER_SIZE = 2048;

    // Loads path at once when it is given.
    explicit KeyValueStore(const char *path = nullptr);

    // The value of key, or null when absent; never adds the key.
    const char *operator[](const std::string &key) const;

    // Typed getters: an absent key is added with an empty value (without
    // marking the store modified); an empty value gives the default.
    int GetInt(const std::string &key, int default_value);
    unsigned GetHex(const std::string &key, unsigned default_value);
    bool GetBOOL(const std::string &key, bool default_value);
    double GetDouble(const std::string &key, double default_value);
    // The value when present (also when empty), else the default or "".
    std::string GetString(const std::string &key, const char *default_value = nullptr) const;

    // Setters mark the store modified only when the text changes.
    bool Add(const std::string &key, int value);
    bool Add(const std::string &key, double value);
    bool Add(const std::string &key, const char *value);
    bool Add(const std::string &key, const std::string &value);
    bool AddHex(const std::string &key, unsigned value);
    // Copies every entry of other, overwriting equal keys.
    bool Add(const KeyValueStore &other);
    bool Clear();

    // Merges the file's entries into the store; a file that cannot be opened
    // is created with the CREATED_TIME and UPDATED_TIME stamps.
    void Load(const char *path);
    // Writes every entry, stamping UPDATED_TIME when modified. The file is
    // replaced whole or not at all; false when it could not be written.
    bool Save(const char *path = nullptr);

    const std::string &Path() const { return path_; }
    const std::map<std::string, std::string> &Entries() const { return entries_; }
    bool IsModified() const { return modified_; }

    // The local time as ctime() gives it, without the line feed.
    static std::string TimeStamp();

private:
    const std::string *_lookup(const std::string &key);
    void _parse_line(const char *line, size_t length);
    bool _save(const char *path, const std::string &stamp);

    std::string path_;
    std::map<std::string, std::string> entries_;
    bool modified_ = false;
};
