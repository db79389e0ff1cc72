#include "foundation/VariantMap.h"

#include <algorithm>
#include <limits>
#include <list>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "foundation/String.h"

using nlohmann::json;

namespace {

// Strict mode: gaps that sparse keys may leave in the rebuilt arrays, beyond
// one per entry: an index far past the entries would otherwise allocate for it.
constexpr std::size_t sparseSlack = 1024;

// Settings mode: a level becomes an array only when it holds at least one
// element per this many places, so that its shape depends on its own names
// alone and the arrays of a document stay within a fixed multiple of its
// entries.
constexpr std::size_t placesPerElement = 64;

std::string const sizeComponent = "_size";

// The array index a component names in base 10, or -1 for none (not a
// number, negative, or beyond any array worth building).
long long indexOf(std::string const& component) {
    if (!String::isNumeric(component)) {
        return -1;
    }
    long long index = String::toInteger(component, 10);
    return index == std::numeric_limits<long long>::max() ? -1 : std::max(index, -1LL);
}

// The number of containers on the deepest path of the document as its flat
// keys rebuild it: each '/' in a member's name nests one more object. Counted
// without recursion so that any document can be measured; stops counting
// once past `limit`.
std::size_t depthOf(json const& document, std::size_t limit) {
    // A node and the number of containers above it.
    std::vector<std::pair<json const*, std::size_t>> open{{&document, 0}};
    std::size_t deepest = 0;
    while (!open.empty() && deepest <= limit) {
        auto [node, above] = open.back();
        open.pop_back();
        if (!node->is_structured()) {
            deepest = std::max(deepest, above);
            continue;
        }
        deepest = std::max(deepest, above + 1);
        if (node->is_object()) {
            for (auto const& member : node->items()) {
                auto const separators = std::count(member.key().begin(), member.key().end(), '/');
                open.emplace_back(&member.value(),
                                  above + 1 + static_cast<std::size_t>(separators));
            }
        } else {
            for (json const& child : *node) {
                open.emplace_back(&child, above + 1);
            }
        }
    }
    return deepest;
}

void flattenNode(std::string const& key, json const& node, VariantMap::Visitor const& visit) {
    visit(key, node);
    if (node.is_object()) {
        for (auto const& member : node.items()) {
            flattenNode(key + "/" + member.key(), member.value(), visit);
        }
    } else if (node.is_array()) {
        for (std::size_t i = 0; i < node.size(); ++i) {
            flattenNode(key + "/" + std::to_string(i), node[i], visit);
        }
    }
}

// Unfolds flat entries into a JSON document, one entry after the other.
class Rebuilder {
public:
    Rebuilder(VariantMap::Entries const& flat, VariantMap::Rebuild rebuild)
        : entries(flat), mode(rebuild), paddingLeft(flat.size() + sparseSlack) {}

    json run() {
        if (mode == VariantMap::Rebuild::Settings) {
            chooseArrays();
        }
        json document;
        for (auto const& entry : entries) {
            std::list<std::string> components = String::tokenize(entry.first, "/");
            if (components.empty()) {
                continue;
            }
            if (mode == VariantMap::Rebuild::Settings) {
                // The first component names a member even when it is "_size"
                // or numeric.
                if (!document.is_object()) {
                    document = json::object();
                }
                std::string first = components.front();
                components.pop_front();
                place(document[first], first, components, entry.second);
            } else {
                place(document, "", components, entry.second);
            }
        }
        return document;
    }

private:
    // Settings mode decides each level's kind from all its components first:
    // an array only when every one is a distinct usable index, so that a
    // level mixing names and numbers becomes an object instead of failing.
    void chooseArrays() {
        std::map<std::string, std::set<std::string>> levels;
        for (auto const& entry : entries) {
            std::list<std::string> components = String::tokenize(entry.first, "/");
            std::string path;
            for (auto it = components.begin(); it != components.end(); ++it) {
                if (it != components.begin()) {
                    if (*it == sizeComponent) {
                        break;
                    }
                    levels[path].insert(*it);
                }
                path += (it == components.begin() ? "" : "/") + *it;
            }
        }
        for (auto const& level : levels) {
            std::set<long long> indexes;
            for (auto const& component : level.second) {
                indexes.insert(indexOf(component));
            }
            if (indexes.count(-1) || indexes.size() != level.second.size()) {
                continue;
            }
            std::size_t length = static_cast<std::size_t>(*indexes.rbegin()) + 1;
            if (length <= indexes.size() * placesPerElement) {
                arrayLevels.insert(level.first);
            }
        }
    }

    void place(json& node, std::string const& path, std::list<std::string>& components,
               Variant const& value) {
        if (components.empty()) {
            node = VariantMap::convert(value);
            return;
        }
        std::string component = components.front();
        components.pop_front();
        if (component == sizeComponent) {
            return;
        }
        std::string childPath = path.empty() ? component : path + "/" + component;
        place(child(node, path, component), childPath, components, value);
    }

    json& child(json& node, std::string const& path, std::string const& component) {
        if (mode == VariantMap::Rebuild::Settings) {
            // The level's kind is settled: a node of another kind in its way
            // (a leaf below which entries continue) gives way to it.
            if (arrayLevels.count(path)) {
                if (!node.is_array()) {
                    node = json::array();
                }
                return node[static_cast<std::size_t>(indexOf(component))];
            }
            if (!node.is_object()) {
                node = json::object();
            }
            return node[component];
        }
        if (!String::isNumeric(component)) {
            return node[component]; // the JSON library refuses a name on a non-object
        }
        if (!node.is_null() && !node.is_array()) {
            return node[std::size_t(0)]; // the JSON library refuses an index on a non-array
        }
        long long index = indexOf(component);
        std::size_t size = node.is_array() ? node.size() : 0;
        if (index < 0 || (static_cast<std::size_t>(index) > size &&
                          static_cast<std::size_t>(index) - size > paddingLeft)) {
            throw std::out_of_range("VariantMap: array index out of range: " + component);
        }
        if (static_cast<std::size_t>(index) > size) {
            paddingLeft -= static_cast<std::size_t>(index) - size;
        }
        return node[static_cast<std::size_t>(index)];
    }

    VariantMap::Entries const& entries;
    VariantMap::Rebuild mode;
    std::size_t paddingLeft;
    std::set<std::string> arrayLevels; // Settings mode: the paths of array levels
};

} // namespace

VariantMap::VariantMap(Entries const& flat) : entries(flat) {}

unsigned long VariantMap::size() const {
    return entries.size();
}

bool VariantMap::empty() const {
    return entries.empty();
}

bool VariantMap::exists(std::string const& key) const {
    return entries.count(key) != 0;
}

std::vector<std::string> VariantMap::keys() const {
    return keysOf(entries);
}

Variant const& VariantMap::operator[](std::string const& key) const {
    auto it = entries.find(key);
    if (it == entries.end()) {
        throw std::out_of_range("Key not found: " + key);
    }
    return it->second;
}

Variant& VariantMap::operator[](std::string const& key) {
    return entries[key];
}

void VariantMap::set(std::string const& key, Variant const& value) {
    setIn(entries, key, value);
}

Variant VariantMap::get(std::string const& key) const {
    return getFrom(entries, key);
}

void VariantMap::erase(std::string const& key) {
    eraseIn(entries, key);
}

VariantMap& VariantMap::merge(VariantMap const& other) {
    entries.insert(other.entries.begin(), other.entries.end()); // keeps the values present
    return *this;
}

VariantMap& VariantMap::fromJson(json const& document) {
    Entries flat;
    if (document.is_array()) {
        flat[sizeComponent] = Variant(static_cast<unsigned long>(document.size()));
    }
    flatten(document, [&flat](std::string const& key, json const& node) {
        if (node.is_array()) {
            flat[key + "/" + sizeComponent] = Variant(static_cast<unsigned long>(node.size()));
        } else if (!node.is_object()) {
            flat[key] = fromScalar(node);
        }
    });
    entries.swap(flat);
    return *this;
}

json VariantMap::toJson() const {
    return rebuild(entries, Rebuild::Strict);
}

std::string VariantMap::toString() const {
    std::string text;
    for (auto const& line : tableLines(entries, "KEY")) {
        text += line + "\n";
    }
    return text;
}

bool VariantMap::operator==(VariantMap const& other) const {
    return entries == other.entries;
}

bool VariantMap::operator!=(VariantMap const& other) const {
    return !(*this == other);
}

void VariantMap::flatten(json const& document, Visitor const& visit) {
    if (depthOf(document, maxDepth) > maxDepth) {
        throw std::invalid_argument("settings document nested deeper than " +
                                    std::to_string(maxDepth) + " levels");
    }
    if (document.is_object()) {
        for (auto const& member : document.items()) {
            flattenNode(member.key(), member.value(), visit);
        }
    } else if (document.is_array()) {
        for (std::size_t i = 0; i < document.size(); ++i) {
            flattenNode(std::to_string(i), document[i], visit);
        }
    } else if (!document.is_null()) {
        flattenNode("", document, visit);
    }
}

Variant VariantMap::fromScalar(json const& node) {
    switch (node.type()) {
    case json::value_t::string:
        return Variant(node.get<std::string>());
    case json::value_t::boolean:
        return Variant(node.get<bool>());
    case json::value_t::number_integer:
        return Variant(static_cast<long>(node.get<std::int64_t>()));
    case json::value_t::number_unsigned:
        return Variant(static_cast<unsigned long>(node.get<std::uint64_t>()));
    case json::value_t::number_float:
        return Variant(node.get<double>());
    default:
        return Variant();
    }
}

json VariantMap::convert(Variant const& value) {
    switch (value.type()) {
    case Variant::Type::String: {
        std::string text = value.toString();
        if (!text.empty() && text[0] == '{') {
            // Text that merely looks like an object (a password "{pw") stays
            // a string.
            json parsed = json::parse(text, nullptr, false);
            if (!parsed.is_discarded()) {
                return parsed;
            }
        }
        return text;
    }
    case Variant::Type::Int:
        return value.toInt();
    case Variant::Type::UInt:
        return value.toUInt();
    case Variant::Type::Double:
        return value.toDouble();
    case Variant::Type::Bool:
        return value.toBool();
    case Variant::Type::Map:
        return json::parse(value.toString());
    default:
        return nullptr;
    }
}

json VariantMap::rebuild(Entries const& entries, Rebuild mode) {
    return Rebuilder(entries, mode).run();
}

void VariantMap::setIn(Entries& entries, std::string const& key, Variant const& value) {
    if (value.type() != Variant::Type::Map) {
        entries[key] = value;
        return;
    }
    VariantMap map = value.toMap();
    for (auto const& entry : map.entries) {
        entries[key + "/" + entry.first] = entry.second;
    }
}

Variant VariantMap::getFrom(Entries const& entries, std::string const& key) {
    auto exact = entries.find(key);
    if (exact != entries.end()) {
        return exact->second;
    }
    std::string prefix = key + "/";
    VariantMap below;
    for (auto it = entries.lower_bound(prefix);
         it != entries.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
        below.set(it->first.substr(prefix.size()), it->second);
    }
    return below.empty() ? Variant() : Variant(below);
}

void VariantMap::eraseIn(Entries& entries, std::string const& key) {
    entries.erase(key);
    std::string prefix = key + "/";
    auto first = entries.lower_bound(prefix);
    auto last = first;
    while (last != entries.end() && last->first.compare(0, prefix.size(), prefix) == 0) {
        ++last;
    }
    entries.erase(first, last);
}

std::vector<std::string> VariantMap::keysOf(Entries const& entries) {
    std::vector<std::string> keys;
    keys.reserve(entries.size());
    for (auto const& entry : entries) {
        keys.push_back(entry.first);
    }
    return keys;
}

std::vector<std::string> VariantMap::tableLines(Entries const& entries,
                                                std::string const& keyHeader) {
    std::size_t keyWidth = 10;
    std::size_t valueWidth = 10;
    for (auto const& entry : entries) {
        keyWidth = std::max(keyWidth, entry.first.size());
        valueWidth = std::max(valueWidth, entry.second.toString().size());
    }
    int kw = static_cast<int>(keyWidth);
    int vw = static_cast<int>(valueWidth);
    std::string separator =
        "+" + std::string(keyWidth + 2, '-') + "+" + std::string(valueWidth + 2, '-') + "+";
    std::vector<std::string> lines{
        separator, String::format("| %-*s | %-*s |", kw, keyHeader.c_str(), vw, "VALUE"),
        separator};
    for (auto const& entry : entries) {
        lines.push_back(String::format("| %-*s : %-*s |", kw, entry.first.c_str(), vw,
                                       entry.second.toString().c_str()));
    }
    lines.push_back(separator);
    return lines;
}
