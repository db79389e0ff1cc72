#include "config/Config.h"

#include "config/SettingLimits.h"
#include "foundation/AtomicFile.h"
#include "foundation/CheckedLock.h"
#include "foundation/Secrets.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace velt::ZRV480::BoardManager::Config {

using nlohmann::json;

namespace {

bool isEmpty(json const& value) {
    return value.is_null() || ((value.is_object() || value.is_array()) && value.empty());
}

// A link to the file stays a link: the file that it points at is replaced.
std::string replacedFile(std::string const& path) {
    std::error_code error;
    if (std::filesystem::is_symlink(path, error)) {
        std::filesystem::path const target = std::filesystem::canonical(path, error);
        if (!error) {
            return target.string();
        }
    }
    return path;
}

// One value; what follows it is not examined.
json firstValue(std::string const& text) {
    std::istringstream in(text);
    json document;
    in >> document;
    return document;
}

// Whether writing `written` over `read` drops or changes anything `read` holds.
bool losesAny(json const& read, json const& written) {
    for (json const& step : json::diff(read, written)) {
        if (step.at("op") != "add") {
            return true;
        }
    }
    return false;
}

} // namespace

Config::Config(std::string filePath) : Logger("Config"), path(std::move(filePath)) {}

void Config::declareConfigurable(std::shared_ptr<Configurable> const& configurable) {
    CheckedLock lock(configurablesMutex);
    configurables.insert(configurable);
}

void Config::clearConfigurables() {
    std::set<std::shared_ptr<Configurable>> released;
    {
        CheckedLock lock(configurablesMutex);
        released.swap(configurables);
    }
}

std::set<std::shared_ptr<Configurable>> Config::owners() const {
    CheckedLock lock(configurablesMutex);
    return configurables;
}

json Config::fileRead() const {
    CheckedLock lock(fileMutex);
    return readLocked();
}

Config::Unreadable::Unreadable(int error)
    : std::runtime_error("Could not read config file"), reason(error) {}

std::string Config::readTextLocked() const {
    errno = 0;
    std::ifstream file(path);
    if (!file.is_open()) {
        int const reason = errno;
        log(Log::Level::Error, "Could not read config file: '%s'.", path.c_str());
        log(Log::Level::Error, "Reading '%s' failed: %s", path.c_str(), strerror(reason));
        throw Unreadable(reason);
    }
    log(Log::Level::Debug, "Reading config file: '%s'", path.c_str());
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

json Config::readLocked() const {
    return firstValue(readTextLocked());
}

json Config::get() const {
    log(Log::Level::Debug, "Notifying configurables for getConfig");
    json result;
    for (auto const& configurable : owners()) {
        json part = configurable->onConfigGet();
        if (result.is_null()) {
            result = std::move(part);
        } else if (!isEmpty(part) && part.is_object() && result.is_object()) {
            for (auto& [key, value] : part.items()) {
                if (!result.contains(key)) {
                    result[key] = std::move(value);
                }
            }
        }
    }
    return result;
}

bool Config::fileWrite(json const& document) const {
    CheckedLock lock(fileMutex);
    return writeLocked(document);
}

bool Config::writeLocked(json const& document) const {
    if (fileHeld) {
        log(Log::Level::Warning, "Not rewriting config file '%s': it is left as it was found",
            path.c_str());
        return false;
    }
    log(Log::Level::Info, "Current active configuration:");
    // Invalid UTF-8 in a text is replaced rather than losing the whole write.
    std::string const text = document.dump(4, ' ', false, json::error_handler_t::replace);

    // The new text replaces the file only once it is wholly on disk, so a
    // failed write leaves the previous file as it was. Mode 0600: it may hold
    // the broker password.
    if (!AtomicFile::write(replacedFile(path), text, 0600)) {
        int const reason = errno;
        log(Log::Level::Error, "Could not write config file: '%s'.", path.c_str());
        log(Log::Level::Error, "Writing '%s' failed: %s", path.c_str(), strerror(reason));
        return false;
    }
    log(Log::Level::Info, "Saving updated config file");
    return true;
}

void Config::reWrite() const {
    CheckedLock lock(fileMutex);
    writeLocked(get());
}

std::string Config::apply(json const& document) {
    log(Log::Level::Debug, "Notifying configurables for setConfig with %s",
        Secrets::masked(document).dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    std::string failures;
    for (auto const& configurable : owners()) {
        try {
            configurable->onConfigSet(document);
        } catch (std::exception const& e) {
            failures += (failures.empty() ? "" : "; ") + std::string(e.what());
        }
    }
    return failures;
}

void Config::set(json const& document) {
    SettingLimits::check(document); // a write with one unusable setting changes nothing
    std::string const failures = apply(document);
    reWrite();
    if (!failures.empty()) {
        throw std::runtime_error(failures);
    }
}

void Config::update() {
    std::string failure;
    std::string text;
    json document;
    bool kept = false;
    {
        CheckedLock lock(fileMutex);
        try {
            text = readTextLocked();
            document = firstValue(text);
            if (!document.is_object()) {
                log(Log::Level::Error, "Config file '%s' holds %s, not a JSON object", path.c_str(),
                    document.type_name());
                failure = "Config file holds no JSON object";
                keepUnusable("holds no JSON object");
            } else {
                json usable = SettingLimits::withDefaults(document, *this);
                if (usable != document) {
                    keepRefused(text);
                    kept = true;
                }
                document = std::move(usable);
            }
        } catch (Unreadable const& e) {
            failure = e.what();
            if (e.reason != ENOENT) { // a missing file is a first start
                keepUnusable("could not be read");
            }
        } catch (json::exception const& e) {
            failure = e.what();
            keepUnusable("could not be parsed");
        } catch (std::exception const& e) {
            failure = e.what();
        }
    }
    if (failure.empty()) {
        failure = apply(document);
        // An owner that refused may still hold every value the file gave
        // (a socket that cannot open yet): then there is nothing to keep,
        // and no copy piles up at every start.
        if (!failure.empty() && !kept && losesAny(document, get())) {
            CheckedLock lock(fileMutex);
            keepRefused(text);
        }
    }
    if (!failure.empty()) {
        log(Log::Level::Warning,
            "Could not apply '%s' : %s, (Continuing with default configuration values)",
            path.c_str(), failure.c_str());
    }
    reWrite();
}

void Config::keepUnusable(char const* what) {
    KeptCopy::Result const kept = KeptCopy::moveAside(path);
    if (kept.kept) {
        log(Log::Level::Warning, "Config file '%s' %s; kept as '%s'", path.c_str(), what,
            kept.name.c_str());
        return;
    }
    holdFile(kept);
}

void Config::keepRefused(std::string const& text) {
    KeptCopy::Result const kept = KeptCopy::write(path, text);
    if (kept.kept) {
        log(Log::Level::Error,
            "Config file '%s' held settings that were refused or replaced; kept as it was in '%s'",
            path.c_str(), kept.name.c_str());
        return;
    }
    holdFile(kept);
}

void Config::holdFile(KeptCopy::Result const& failed) {
    // The defaults must not replace what the operator wrote.
    fileHeld = true;
    log(Log::Level::Error,
        "Could not keep config file '%s' as '%s': %s; it is left as it is and not rewritten",
        path.c_str(), failed.name.c_str(), strerror(failed.error));
}

} // namespace velt::ZRV480::BoardManager::Config
