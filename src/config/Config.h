#pragma once

#include <memory>
#include <set>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "config/Configurable.h"
#include "config/KeptCopy.h"
#include "foundation/CheckedMutex.h"
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
    nlohmann::json fileRead() const EXCLUDES(fileMutex);
    // The merged sections of all owners (the first value of a name wins).
    nlohmann::json get() const;
    // False when the file could not be replaced; the old file is then whole.
    // Also false, the file untouched, once update could not move a file it
    // cannot use out of the way.
    bool fileWrite(nlohmann::json const& document) const EXCLUDES(fileMutex);
    void reWrite() const EXCLUDES(fileMutex);
    // Hands the document to every owner, then rewrites the file from the
    // values in effect. A document with a setting out of its limits
    // (SettingLimits) is refused whole first: std::invalid_argument, nothing
    // applied, the file untouched. An owner that refuses its sections does not stop the
    // others; the refusals are thrown afterwards as one std::runtime_error.
    void set(nlohmann::json const& document);
    // Reads and applies the file, each setting out of its limits at its
    // default; then writes the values in effect. A file that exists but
    // cannot be read or parsed, or that holds no JSON object, is moved aside
    // as a kept copy (KeptCopy) first; a file from which any setting was
    // refused or replaced is copied there as it was. Where it cannot be
    // kept, the file is left as it is and never rewritten.
    void update() EXCLUDES(fileMutex);

private:
    // Thrown by readLocked when the file cannot be opened; reason is errno.
    struct Unreadable : std::runtime_error {
        explicit Unreadable(int reason);
        int reason;
    };

    // Every owner's refusal, joined; empty when all accepted.
    std::string apply(nlohmann::json const& document);
    std::set<std::shared_ptr<Configurable>> owners() const;
    // Moves the file aside; what says what is wrong with it.
    void keepUnusable(char const* what) REQUIRES(fileMutex);
    // Keeps the file's text, as read at start, beside it.
    void keepRefused(std::string const& text) REQUIRES(fileMutex);
    // Where no copy could be kept: the file is left as it is, never rewritten.
    void holdFile(KeptCopy::Result const& failed) REQUIRES(fileMutex);
    // The file's text; throws Unreadable.
    std::string readTextLocked() const REQUIRES(fileMutex);
    nlohmann::json readLocked() const REQUIRES(fileMutex);
    bool writeLocked(nlohmann::json const& document) const REQUIRES(fileMutex);

    mutable CheckedMutex configurablesMutex;
    std::set<std::shared_ptr<Configurable>> configurables GUARDED_BY(configurablesMutex);
    std::string const path;
    // Guards the file at path and its temporary. Held while the owners answer
    // onConfigGet for a rewrite, never while they apply a document, so an
    // owner's onConfigGet must not rewrite the file itself.
    mutable CheckedMutex fileMutex;
    // The file could not be used nor moved aside: it is left as it is.
    bool fileHeld GUARDED_BY(fileMutex) = false;
};

} // namespace velt::ZRV480::BoardManager::Config
