#pragma once

#include "bus/Board.h"
#include "bus/Protocol.h"
#include "foundation/Logger.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
} // namespace tinyxml2

namespace velt::ZRV480::Bus {

// The boards of the machine as "schema.xml" beside the executable lists them,
// with the document re-printed compactly and its MD5 (what the main board
// keeps a copy of). Loading never throws: every problem is logged and leaves
// the schema invalid with the boards read before it.
class Schema : public Logger {
public:
    static constexpr uint8_t AddressMain = Protocol::AddressMain;
    static constexpr uint8_t AddressService = Protocol::AddressService; // the service console

    Schema();
    // Loads the given file instead of the one beside the executable.
    explicit Schema(std::string const& path);
    ~Schema() override;

    // Read, parsed without error, and a board at address 0.
    bool isValid() const;
    std::map<uint8_t, Board> const& getBoards() const;
    std::map<uint8_t, std::string> getBoardNames() const;
    // Empty when the file was not read or not parsed.
    std::vector<uint8_t> const& getBinary() const;
    // All zero when the file was not read or not parsed.
    std::array<uint8_t, 16> getHash() const;
    void print() const;

private:
    using EnumTables = std::map<uint8_t, Board::EnumValues>;
    // Type, multiplier, min and max of a slot as its "type" element gives them.
    struct SlotKind {
        SlotType type;
        uint8_t multiplier;
        int32_t min;
        int32_t max;
    };

    bool parse(tinyxml2::XMLDocument const& document);
    bool parseNode(tinyxml2::XMLElement const* node, size_t index);
    std::optional<std::string> getText(tinyxml2::XMLElement const* node, size_t index,
                                       char const* name) const;
    std::optional<uint8_t> parseAddress(std::string const& text, size_t index) const;
    bool parseMask(std::string const& text, size_t index) const;
    std::optional<uint8_t> parseVersion(std::string const& text, size_t index) const;
    std::optional<std::string> parseAlias(tinyxml2::XMLElement const* element,
                                          std::string const& label) const;
    std::optional<std::pair<std::map<uint8_t, Board::Telemetry>, EnumTables>>
    parseTelemetry(tinyxml2::XMLElement const* node, size_t index) const;
    std::optional<std::pair<std::map<uint8_t, Board::Config>, EnumTables>>
    parseConfig(tinyxml2::XMLElement const* node, size_t index) const;
    std::optional<std::map<uint8_t, std::string>> parseStatus(tinyxml2::XMLElement const* node,
                                                              size_t index) const;
    std::optional<std::map<uint8_t, std::string>> parseActions(tinyxml2::XMLElement const* node,
                                                               size_t index) const;
    Board::EnumValues parseEnum(tinyxml2::XMLElement const* slot, std::string const& label) const;
    std::optional<SlotKind> parseTelemetryNumber(tinyxml2::XMLElement const* slot,
                                                 std::string const& label) const;
    std::optional<SlotKind> parseConfigNumber(tinyxml2::XMLElement const* slot,
                                              std::string const& label) const;

    // Calls visit(element, slot, name, label) for every child of the node
    // named kind, after the slot and name checks; the first failure ends it.
    template <typename Visit>
    bool forEachSlot(tinyxml2::XMLElement const* node, size_t index, char const* kind,
                     char const* labelKind, Visit visit) const;
    // Slot -> name of the status or action children of a node.
    std::optional<std::map<uint8_t, std::string>> parseNamedSlots(tinyxml2::XMLElement const* node,
                                                                  size_t index, char const* kind,
                                                                  char const* labelKind) const;
    // Type of a telemetry or configuration slot; fills tables for an ENUM.
    std::optional<SlotKind> parseType(tinyxml2::XMLElement const* slot, std::string const& label,
                                      bool config, uint8_t slotNumber, EnumTables& tables) const;
    EnumTables mergeEnumTables(EnumTables const& telemetries, EnumTables const& configs,
                               std::string const& boardName, size_t index) const;

    bool valid = false;
    std::string path;
    std::vector<uint8_t> binary;
    std::array<uint8_t, 16> hash{};
    std::map<uint8_t, Board> boards;
};

} // namespace velt::ZRV480::Bus
