#pragma once

#include "foundation/Logger.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace velt::ZRV480::BoardManager::Manager {

// The record of firmware upgrades, one report per board (the service console
// under address 200), kept across restarts in "boards-state.json". A plain
// value without a lock: the engine guards it with its state lock and
// serialises the file writes.
class Firmwares : public Logger {
public:
    enum class State : int {
        pendingInstallation = 0,
        installing = 1,
        pendingReboot = 2,
        failed = 3
    };

    struct Firmware {
        State state = State::pendingInstallation;
        uint8_t version = 0;
    };

    using Reports = std::map<uint8_t, Firmware>;
    using iterator = Reports::iterator;
    using const_iterator = Reports::const_iterator;

    static constexpr uint8_t AddressService = 200;

    // The schema's board names; no path, no reports.
    explicit Firmwares(std::map<uint8_t, std::string> names);
    Firmwares(Firmwares const&) = default;
    Firmwares& operator=(Firmwares const&) = default;
    ~Firmwares() override;

    // Map operations over the reports, in ascending address order.
    bool contains(uint8_t address) const;
    iterator find(uint8_t address);
    const_iterator find(uint8_t address) const;
    iterator begin();
    iterator end();
    const_iterator begin() const;
    const_iterator end() const;
    size_t size() const;
    Firmware& operator[](uint8_t address);
    std::pair<iterator, bool> insert(std::pair<uint8_t const, Firmware> const& report);
    iterator insert(const_iterator hint, std::pair<uint8_t const, Firmware> const& report);
    iterator erase(const_iterator position);
    iterator erase(const_iterator first, const_iterator last);
    void clear();
    // Logs "Erasing <name>" and removes the board's report; the address must
    // be one of the board names (std::out_of_range otherwise).
    size_t erase(uint8_t address);

    // Any report in pendingReboot.
    bool rebootRequired() const;
    static std::string stateToStr(State state);
    // {name or "service": {"state": text, "version": number}}
    nlohmann::json toJson() const;
    // Adds the reports of a JSON object; unknown names are skipped with a warning.
    void parse(nlohmann::json const& document);
    // Adds one report from one member's value, or logs why not.
    void parseBoard(uint8_t address, nlohmann::json const& value);

    // Replaces the file with the compact JSON form through a temporary file
    // beside it, flushed and renamed over it: a failed write leaves the old
    // file whole. False without a path or when the write fails. Callers from
    // several threads serialise their saves (the engine does).
    bool save() const;
    // Remembers the path and reads the file; false when it is missing, not
    // JSON or not an object.
    bool load(std::string const& path);

private:
    std::map<uint8_t, std::string> boardNames;
    std::string filePath;
    Reports reports;
};

} // namespace velt::ZRV480::BoardManager::Manager
