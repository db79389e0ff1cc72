#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "config/Configurable.h"
#include "foundation/Logger.h"

namespace velt::ZRV480::BoardManager::Config {

// The configuration file: read once at start-up, handed to the owners of its
// sections, gathered back from them and rewritten. The file is replaced
// atomically (mode 0600: it may hold the broker password), and every read and
// every gather-and-write runs under one lock, so concurrent rewrites leave the
// file with the values of the last gather.
class Config : public Logger {
public:
    explicit Config(std::string path);

    // Adds an owner; one already declared is not added again.
    void declareConfigurable(std::shared_ptr<Configurable> const& configurable);
    // At shutdown: the owners hold this object too, so the cycle is broken
    // here for both sides to be released.
    void clearConfigurables();

    // The parsed file; throws when it cannot be opened or parsed.
    nlohmann::json fileRead() const;
    // The merged sections of all owners (the first value of a name wins).
    nlohmann::json get() const;
    // False when the file could not be replaced; the old file is then whole.
    bool fileWrite(nlohmann::json const& document) const;
    void reWrite() const;
    // Hands the document to every owner, then rewrites the file from the
    // values in effect. A document with a setting out of its limits
    // (SettingLimits) is refused whole first: std::invalid_argument, nothing
    // applied, the file untouched. An owner that refuses its sections does not stop the
    // others; the refusals are thrown afterwards as one std::runtime_error.
    void set(nlohmann::json const& document);
    // Reads and applies the file, each setting out of its limits at its
    // default; on any failure writes the values in effect.
    // A file that cannot be parsed is kept as "<path>.bad" first.
    void update();

private:
    // Every owner's refusal, joined; empty when all accepted.
    std::string apply(nlohmann::json const& document);
    std::set<std::shared_ptr<Configurable>> owners() const;
    // Callers of these three hold fileMutex.
    void keepUnparsable() const;
    nlohmann::json readLocked() const;
    bool writeLocked(nlohmann::json const& document) const;

    mutable std::mutex configurablesMutex;
    std::set<std::shared_ptr<Configurable>> configurables; // guarded by configurablesMutex
    std::string const path;
    // Guards the file at path and its temporary. Held while the owners answer
    // onConfigGet for a rewrite, never while they apply a document, so an
    // owner's onConfigGet must not rewrite the file itself.
    mutable std::mutex fileMutex;
};

} // namespace velt::ZRV480::BoardManager::Config
