#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/Variant.h"

// A tree of setting values flattened into one ordered map: each leaf is an
// entry whose key is its path of names joined with '/'. An array element is
// named by its index in decimal, and an array also gets the entry
// <array key>/_size so that its length survives even when it is empty.
class VariantMap {
public:
    using Entries = std::map<std::string, Variant>;

    VariantMap() = default;
    VariantMap(Entries const& entries);
    VariantMap(VariantMap const& other) = default;
    VariantMap& operator=(VariantMap const& other) = default;
    virtual ~VariantMap() = default;

    unsigned long size() const;
    bool empty() const;
    // Only an entry at exactly this key counts, not entries below it.
    bool exists(std::string const& key) const;
    std::vector<std::string> keys() const;

    // Throws std::out_of_range "Key not found: <key>" when absent.
    Variant const& operator[](std::string const& key) const;
    // Adds a Null entry when absent.
    Variant& operator[](std::string const& key);

    // A Map-tagged value is stored as its entries below key.
    void set(std::string const& key, Variant const& value);
    // The value at key; else the entries below key gathered into a Map
    // variant; else Null.
    Variant get(std::string const& key) const;
    // Removes the entry at key and every entry below it.
    void erase(std::string const& key);
    // Adds the other map's entries whose keys are absent here.
    VariantMap& merge(VariantMap const& other);

    // Replaces the content with the flattened document. Throws as flatten.
    VariantMap& fromJson(nlohmann::json const& json);
    // Fails with the JSON library's type error where one key is both a leaf
    // and a parent, or array indexes and names meet at one level; with
    // std::out_of_range for an index that is negative or would pad the
    // arrays beyond the size of the map.
    nlohmann::json toJson() const;
    // A printable table of the entries, one line-feed-ended line each.
    std::string toString() const;

    bool operator==(VariantMap const& other) const;
    bool operator!=(VariantMap const& other) const;

    // The key model, shared with SettingStore, which keeps its entries in the
    // same shape.

    // Called for every node of a flattened document, each parent before its
    // children, with the node's flat key.
    using Visitor = std::function<void(std::string const& key, nlohmann::json const& node)>;
    // The deepest nesting of objects and arrays that flatten walks.
    static constexpr std::size_t maxDepth = 64;
    // Walks the items of a document (object members, array elements by
    // index, a lone scalar under the empty key, nothing for null). Throws
    // std::invalid_argument, before visiting anything, for a document nested
    // deeper than maxDepth, each '/' in a member's name counted as the level
    // it becomes in the flat keys: otherwise a store would take a document
    // whose rebuilt JSON it refuses to read back.
    static void flatten(nlohmann::json const& document, Visitor const& visit);
    // The variant a scalar JSON node is stored as.
    static Variant fromScalar(nlohmann::json const& node);
    // A variant as JSON by its tag.
    static nlohmann::json convert(Variant const& value);

    enum class Rebuild {
        // Every component is placed as it comes; conflicts throw.
        Strict,
        // The first component always names a member of the document, a level
        // is an array only when all its components are usable indexes that
        // leave few gaps, and a container replaces a leaf in its way: never
        // throws on the shape.
        Settings
    };
    static nlohmann::json rebuild(Entries const& entries, Rebuild mode);

    static void setIn(Entries& entries, std::string const& key, Variant const& value);
    static Variant getFrom(Entries const& entries, std::string const& key);
    static void eraseIn(Entries& entries, std::string const& key);
    static std::vector<std::string> keysOf(Entries const& entries);
    // The lines of the entries' table under the given key column header.
    static std::vector<std::string> tableLines(Entries const& entries,
                                               std::string const& keyHeader);

private:
    Entries entries;
};
