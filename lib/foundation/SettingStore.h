#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/Log.h"
#include "foundation/Variant.h"
#include "foundation/VariantMap.h"

// Key/value settings under flat '/'-separated keys (the model of VariantMap,
// without array size entries), merged from and rebuilt into nested JSON, and
// saved to a JSON file or an SQLite table. Takes no lock: the owner
// serialises its use.
class SettingStore {
public:
    enum FileType : int { Auto = 0, SQLite = 1, JSON = 2 };

    SettingStore() = default;
    SettingStore(SettingStore const& other) = default;
    SettingStore& operator=(SettingStore const& other) = default;
    virtual ~SettingStore() = default;

    // A Map-tagged value is stored as its entries below key.
    void set(std::string const& key, Variant const& value);
    // The value at key; else the entries below key as a Map variant holding
    // their JSON as toJson would show it there; else Null. Throws only the
    // JSON library's parse error for a stored Map text that is not JSON.
    Variant get(std::string const& key) const;
    // Adds a Null entry when absent.
    Variant& operator[](std::string const& key);
    bool exists(std::string const& key) const;
    std::vector<std::string> keys() const;
    VariantMap toMap() const;

    // Replaces every entry.
    void load(std::map<std::string, Variant> const& entries);
    // Copies the map's entries in, replacing those of the same keys.
    SettingStore& fromMap(VariantMap const& map);
    // Adds the map's entries whose keys are absent from the store.
    SettingStore& merge(VariantMap const& map);

    // Merges the document into the store. A value written at a key replaces
    // what was there whole: a scalar or an array drops the entries below its
    // key, and any value drops a leaf at its key's ancestors, so a section
    // that changes a setting's shape never leaves a store toJson cannot
    // rebuild. Objects merge member by member. A document nested deeper than
    // VariantMap::maxDepth throws std::invalid_argument and changes nothing.
    SettingStore& fromJson(nlohmann::json const& json);
    // The nested object of all entries; null for an empty store.
    nlohmann::json toJson() const;
    // Logs the entries as a table at info level.
    void print() const;

    static void log(Log::Level level, std::string const& text);
    static void log(Log::Level level, char const* format, ...)
        __attribute__((format(printf, 2, 3)));

    // Auto picks the format from the file name's extension.
    bool save(std::string const& path, FileType type) const;
    bool load(std::string const& path, FileType type);
    // Replaces the file atomically: a failed write leaves the old file whole.
    // Throws what toJson throws, leaving the file untouched.
    bool saveJSON(std::string const& path) const;
    // Merges the file's document into the store; false, logged, for a file
    // that cannot be opened or is nested too deep. Throws the JSON library's
    // parse error for a file that is not JSON, leaving the store unchanged.
    bool loadJSON(std::string const& path);
    // Rewrites the table "settings" in one transaction.
    bool saveSQLite(std::string const& path) const;
    // Adds or replaces the entries of the table "settings".
    bool loadSQLite(std::string const& path);

private:
    void writeItem(std::string const& key, nlohmann::json const& node);
    void eraseAncestors(std::string const& key);

    std::map<std::string, Variant> entries;
};
