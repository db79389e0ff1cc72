#include "foundation/SettingStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <SQLiteCpp/SQLiteCpp.h>

#include "foundation/String.h"
#include "foundation/Utils.h"

using nlohmann::json;

namespace {

// The file a save replaces: the target of a symbolic link, so that the link
// survives the save.
std::string replacedFile(std::string const& path) {
    struct stat status;
    if (lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        char resolved[PATH_MAX];
        if (realpath(path.c_str(), resolved) != nullptr) {
            return resolved;
        }
    }
    return path;
}

// A name beside the target that no other save of this process uses.
std::string temporaryName(std::string const& target) {
    static std::atomic<unsigned> counter{0};
    return target + ".tmp." + Utils::getProcessId() + "." + std::to_string(counter++);
}

void syncDirectoryOf(std::string const& file) {
    std::string directory = Utils::getPathFromFilepath(file);
    if (directory == file) {
        directory = ".";
    } else if (directory.empty()) {
        directory = "/";
    }
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

SettingStore::FileType chooseType(std::string const& path, SettingStore::FileType type) {
    if (type != SettingStore::Auto) {
        return type;
    }
    std::string extension = Utils::getFileExtension(path);
    if (extension.find("sqlite") != std::string::npos ||
        extension.find("db") != std::string::npos) {
        return SettingStore::SQLite;
    }
    if (extension.find("json") != std::string::npos) {
        return SettingStore::JSON;
    }
    return SettingStore::Auto;
}

} // namespace

void SettingStore::set(std::string const& key, Variant const& value) {
    VariantMap::setIn(entries, key, value);
}

Variant SettingStore::get(std::string const& key) const {
    auto const exact = entries.find(key);
    if (exact != entries.end()) {
        return exact->second;
    }
    // The subtree as toJson shows it: rebuilt by the settings' rules, which
    // never fail on the shape of the keys.
    std::string const prefix = key + "/";
    auto const first = entries.lower_bound(prefix);
    auto last = first;
    while (last != entries.end() && last->first.compare(0, prefix.size(), prefix) == 0) {
        ++last;
    }
    if (first == last) {
        return Variant();
    }
    json const document =
        VariantMap::rebuild(VariantMap::Entries(first, last), VariantMap::Rebuild::Settings);
    json const* node = &document;
    for (std::string const& component : String::tokenize(key, "/")) {
        if (node->is_array()) {
            long long const index = String::toInteger(component, 10);
            if (index < 0 || static_cast<std::size_t>(index) >= node->size()) {
                return Variant();
            }
            node = &(*node)[static_cast<std::size_t>(index)];
        } else if (node->is_object() && node->contains(component)) {
            node = &(*node)[component];
        } else {
            return Variant();
        }
    }
    return node->is_null() ? Variant() : Variant(node->dump(), Variant::Type::Map);
}

Variant& SettingStore::operator[](std::string const& key) {
    return entries[key];
}

bool SettingStore::exists(std::string const& key) const {
    return entries.count(key) != 0;
}

std::vector<std::string> SettingStore::keys() const {
    return VariantMap::keysOf(entries);
}

VariantMap SettingStore::toMap() const {
    return VariantMap(entries);
}

void SettingStore::load(std::map<std::string, Variant> const& content) {
    entries = content;
}

SettingStore& SettingStore::fromMap(VariantMap const& map) {
    for (auto const& key : map.keys()) {
        entries[key] = map[key];
    }
    return *this;
}

SettingStore& SettingStore::merge(VariantMap const& map) {
    for (auto const& key : map.keys()) {
        entries.emplace(key, map[key]); // keeps a value already present
    }
    return *this;
}

SettingStore& SettingStore::fromJson(json const& document) {
    VariantMap::flatten(document,
                        [this](std::string const& key, json const& node) { writeItem(key, node); });
    return *this;
}

void SettingStore::writeItem(std::string const& key, json const& node) {
    if (node.is_object()) {
        entries.erase(key); // members merge into what lies below
    } else {
        VariantMap::eraseIn(entries, key);
    }
    eraseAncestors(key);
    if (!node.is_object() && !node.is_array()) {
        entries[key] = VariantMap::fromScalar(node);
    }
}

void SettingStore::eraseAncestors(std::string const& key) {
    for (auto slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
        entries.erase(key.substr(0, slash));
    }
}

json SettingStore::toJson() const {
    return VariantMap::rebuild(entries, VariantMap::Rebuild::Settings);
}

void SettingStore::print() const {
    for (auto const& line : VariantMap::tableLines(entries, "SETTING")) {
        log(Log::Level::Info, line);
    }
}

void SettingStore::log(Log::Level level, std::string const& text) {
    Log::print(level, "[Settings] " + text);
}

void SettingStore::log(Log::Level level, char const* format, ...) {
    std::string prefixed = std::string("[Settings] ") + format;
    va_list args;
    va_start(args, format);
    Log::vprint(level, prefixed.c_str(), args);
    va_end(args);
}

bool SettingStore::save(std::string const& path, FileType type) const {
    switch (chooseType(path, type)) {
    case SQLite:
        return saveSQLite(path);
    case JSON:
        return saveJSON(path);
    default:
        return false;
    }
}

bool SettingStore::load(std::string const& path, FileType type) {
    switch (chooseType(path, type)) {
    case SQLite:
        return loadSQLite(path);
    case JSON:
        return loadJSON(path);
    default:
        return false;
    }
}

bool SettingStore::saveJSON(std::string const& path) const {
    std::string const text = toJson().dump(4);

    // The new document goes to a file beside the old one and replaces it only
    // once it is wholly on disk.
    std::string const target = replacedFile(path);
    std::string const temporary = temporaryName(target);
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        log(Log::Level::Error, "saveJSON(): could not open file '%s': %s.", path.c_str(),
            strerror(errno));
        return false;
    }
    struct stat old;
    if (stat(target.c_str(), &old) == 0) {
        fchmod(fd, old.st_mode & 07777); // a private file stays private
    }

    bool written = false;
    ssize_t count = write(fd, text.data(), text.size());
    // NOLINTNEXTLINE(bugprone-branch-clone): two failures, one report
    if (count < 0) {
        log(Log::Level::Error, "saveJSON(): could not write in file '%s': %s", path.c_str(),
            strerror(errno));
    } else if (static_cast<std::size_t>(count) < text.size()) {
        log(Log::Level::Error, "saveJSON(): partial write in file '%s': %d/%d", path.c_str(),
            static_cast<int>(count), static_cast<int>(text.size()));
    } else if (fsync(fd) != 0) {
        log(Log::Level::Error, "saveJSON(): could not write in file '%s': %s", path.c_str(),
            strerror(errno));
    } else {
        written = true;
    }
    if (close(fd) != 0 && written) {
        log(Log::Level::Error, "saveJSON(): could not write in file '%s': %s", path.c_str(),
            strerror(errno));
        written = false;
    }
    if (!written) {
        unlink(temporary.c_str());
        return false;
    }
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        log(Log::Level::Error, "saveJSON(): could not replace file '%s': %s", path.c_str(),
            strerror(errno));
        unlink(temporary.c_str());
        return false;
    }
    syncDirectoryOf(target);
    return true;
}

bool SettingStore::loadJSON(std::string const& path) {
    std::ifstream file(path);
    if (!file.is_open()) {
        log(Log::Level::Error, "loadJSON(): could not open file '%s'.", path.c_str());
        return false;
    }
    json document;
    file >> document; // reads one value; what follows it is left unread
    file.close();
    try {
        fromJson(document);
    } catch (std::invalid_argument const& e) {
        log(Log::Level::Error, "loadJSON(): could not load file '%s': %s.", path.c_str(), e.what());
        return false;
    }
    return true;
}

bool SettingStore::saveSQLite(std::string const& path) const {
    try {
        ::SQLite::Database database(path, ::SQLite::OPEN_READWRITE | ::SQLite::OPEN_CREATE, 2000);
        ::SQLite::Transaction transaction(database);
        database.exec("DROP TABLE IF EXISTS settings");
        database.exec("CREATE TABLE settings (key TEXT PRIMARY KEY, value TEXT, type INTEGER)");
        ::SQLite::Statement insert(database, "INSERT INTO settings VALUES (?, ?, ?)");
        for (auto const& entry : entries) {
            insert.bind(1, entry.first);
            insert.bind(2, entry.second.toString());
            insert.bind(3, static_cast<int>(entry.second.type()));
            insert.exec();
            insert.reset();
        }
        transaction.commit();
        return true;
    } catch (std::exception const& e) {
        log(Log::Level::Error, std::string("saveSQLite(): ") + e.what());
        return false;
    }
}

bool SettingStore::loadSQLite(std::string const& path) {
    try {
        ::SQLite::Database database(path, ::SQLite::OPEN_READONLY);
        ::SQLite::Statement query(database, "SELECT * FROM settings");
        auto text = [&query](int column) {
            ::SQLite::Column value = query.getColumn(column);
            return value.isNull() ? std::string() : value.getString();
        };
        while (query.executeStep()) {
            entries[text(0)] =
                Variant(text(1), static_cast<Variant::Type>(query.getColumn(2).getInt()));
        }
        return true;
    } catch (std::exception const& e) {
        log(Log::Level::Error, std::string("loadSQLite(): ") + e.what());
        return false;
    }
}
