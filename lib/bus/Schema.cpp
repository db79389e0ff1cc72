#include "bus/Schema.h"

#include "bus/CamelCaser.h"
#include "bus/Helpers.h"
#include "bus/MD5.h"
#include "foundation/String.h"
#include "foundation/Utils.h"

#include <tinyxml2.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>

namespace velt::ZRV480::Bus {

using tinyxml2::XMLElement;

namespace {

// The element-text rule: no text (empty, or a first child that is not text)
// reads as the empty text.
std::string textOf(XMLElement const* element) {
    char const* text = element->GetText();
    return text ? text : "";
}

// An unsigned decimal as the schema writes slots: leading blanks skipped,
// digits up to the first other character, reduced modulo 256. No digit (a
// sign, "x", an empty value) is not a slot.
std::optional<uint8_t> slotNumber(char const* text) {
    while (std::isspace(static_cast<unsigned char>(*text))) {
        ++text;
    }
    if (!std::isdigit(static_cast<unsigned char>(*text))) {
        return std::nullopt;
    }
    uint8_t slot = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
        slot = static_cast<uint8_t>(slot * 10 + (*text - '0'));
    }
    return slot;
}

// What follows the root element, as a parse error: tinyxml2 accepts text
// there as a node of its own, and stops reading silently at an end tag there,
// dropping the rest. A marker element appended to the text shows whether the
// reading reached the end of the file. Comments, a declaration and a DOCTYPE
// may stand around the root element.
tinyxml2::XMLError trailingContent(std::string const& text) {
    static char const marker[] = "end-of-schema-file";
    const std::string marked = text + "<" + marker + "/>";
    tinyxml2::XMLDocument document;
    if (document.Parse(marked.data(), marked.size()) != tinyxml2::XML_SUCCESS) {
        return document.ErrorID();
    }
    XMLElement const* last = document.LastChildElement();
    if (last == nullptr || std::strcmp(last->Name(), marker) != 0) {
        return tinyxml2::XML_ERROR_MISMATCHED_ELEMENT;
    }
    size_t elements = 0;
    for (tinyxml2::XMLNode const* node = document.FirstChild(); node != last;
         node = node->NextSibling()) {
        if (node->ToText() != nullptr) {
            return tinyxml2::XML_ERROR_PARSING_TEXT;
        }
        if (node->ToElement() != nullptr && ++elements > 1) {
            return tinyxml2::XML_ERROR_PARSING_ELEMENT;
        }
    }
    return tinyxml2::XML_SUCCESS;
}

std::string label(char const* kind, size_t node, size_t element) {
    return String::format("Node[%zu] %s[%zu]", node, kind, element);
}

} // namespace

Schema::Schema()
    : Schema(Utils::combinePath(Common::Helpers::getExecutableDirectory(), "schema.xml")) {}

Schema::Schema(std::string const& schemaPath) : Logger("Schema"), path(schemaPath) {
    std::string text;
    if (Common::Helpers::fileToStr(schemaPath, text) != Common::ErrorCode::Success) {
        log(Log::Level::Error, "Could not open file '%s': %s", schemaPath.c_str(),
            std::strerror(errno));
        return;
    }
    tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
    tinyxml2::XMLError error = document.Parse(text.data(), text.size());
    if (error == tinyxml2::XML_SUCCESS) {
        error = trailingContent(text);
    }
    if (error != tinyxml2::XML_SUCCESS) {
        log(Log::Level::Error, "Could not parse '%s': [%d] '%s'", schemaPath.c_str(), int(error),
            tinyxml2::XMLDocument::ErrorIDToName(error));
        return;
    }
    tinyxml2::XMLPrinter printer(nullptr, true, 0);
    document.Print(&printer);
    char const* compact = printer.CStr();
    binary.assign(compact, compact + printer.CStrSize() - 1);
    hash = Common::MD5::calculate(binary);

    valid = parse(document) && boards.count(AddressMain) > 0;
}

Schema::~Schema() = default;

bool Schema::isValid() const {
    return valid;
}

std::map<uint8_t, Board> const& Schema::getBoards() const {
    return boards;
}

std::map<uint8_t, std::string> Schema::getBoardNames() const {
    std::map<uint8_t, std::string> names;
    for (auto const& [address, board] : boards) {
        names.emplace(address, board.getName());
    }
    return names;
}

std::vector<uint8_t> const& Schema::getBinary() const {
    return binary;
}

std::array<uint8_t, 16> Schema::getHash() const {
    return hash;
}

void Schema::print() const {
    for (auto const& entry : boards) {
        entry.second.print();
    }
}

bool Schema::parse(tinyxml2::XMLDocument const& document) {
    XMLElement const* root = document.FirstChildElement("schema");
    if (!root) {
        log(Log::Level::Error, "element 'schema' is missing");
        return false;
    }
    size_t index = 0;
    for (XMLElement const* node = root->FirstChildElement("node"); node;
         node = node->NextSiblingElement("node"), ++index) {
        if (!parseNode(node, index)) {
            return false;
        }
    }
    return true;
}

bool Schema::parseNode(XMLElement const* node, size_t index) {
    auto const addressText = getText(node, index, "address");
    auto const maskText = getText(node, index, "mask");
    auto const nameText = getText(node, index, "name");
    auto const versionText = getText(node, index, "version");
    if (!addressText || !maskText || !nameText || !versionText) {
        return false;
    }

    // Every rule runs so that one pass reports all of a node's faults.
    auto const address = parseAddress(*addressText, index);
    bool const maskOk = parseMask(*maskText, index);
    auto const version = parseVersion(*versionText, index);
    auto const boardName = parseAlias(node, String::format("Node[%zu]", index));
    if (!address || !maskOk || !version || !boardName) {
        return false;
    }

    auto const telemetries = parseTelemetry(node, index);
    if (!telemetries) {
        return false;
    }
    auto const configs = parseConfig(node, index);
    if (!configs) {
        return false;
    }
    auto statuses = parseStatus(node, index);
    if (!statuses) {
        return false;
    }
    auto const actions = parseActions(node, index);
    if (!actions) {
        return false;
    }

    const EnumTables enumTables =
        mergeEnumTables(telemetries->second, configs->second, *boardName, index);
    auto const ota = getText(node, index, "ota");
    const std::string firmwareFilename = ota ? *ota : *boardName + ".bin";
    (*statuses)[0] = "fatal";

    // The first board at an address stands.
    boards.emplace(*address, Board(*address, *boardName, firmwareFilename, *version, *statuses,
                                   telemetries->first, configs->first, *actions, enumTables));
    return true;
}

std::optional<std::string> Schema::getText(XMLElement const* node, size_t index,
                                           char const* elementName) const {
    XMLElement const* element = node->FirstChildElement(elementName);
    if (!element) {
        log(Log::Level::Error, "Node[%zu] element '%s' is missing", index, elementName);
        return std::nullopt;
    }
    return textOf(element);
}

std::optional<uint8_t> Schema::parseAddress(std::string const& text, size_t index) const {
    if (text.size() != 4) {
        log(Log::Level::Error, "Node[%zu] element 'address' length is not %zu", index, size_t(4));
        return std::nullopt;
    }
    return static_cast<uint8_t>(String::toInteger(text.substr(2, 2), 16));
}

bool Schema::parseMask(std::string const& text, size_t index) const {
    if (text.size() != 10) {
        log(Log::Level::Error, "Node[%zu] element 'mask' length is not %zu", index, size_t(10));
        return false;
    }
    return true;
}

std::optional<uint8_t> Schema::parseVersion(std::string const& text, size_t index) const {
    const std::vector<std::string> pieces = String::tokenizeV(text, "v.");
    if (pieces.size() != 3) {
        log(Log::Level::Error, "Node[%zu] element 'version' segments is not %zu (actual=%zu)",
            index, size_t(3), pieces.size());
        return std::nullopt;
    }
    std::string joined;
    for (std::string const& piece : pieces) {
        if (joined.empty() && piece == "0") {
            continue;
        }
        joined += piece;
    }
    if (joined.empty()) {
        joined = "0";
    }
    if (!String::isNumeric(joined)) {
        log(Log::Level::Error,
            "Node[%zu] element 'version' not expected format 'v[digit].[digit].[digit]'", index);
        return std::nullopt;
    }
    return static_cast<uint8_t>(String::toInteger(joined, 0));
}

std::optional<std::string> Schema::parseAlias(XMLElement const* element,
                                              std::string const& label) const {
    XMLElement const* nameElement = element->FirstChildElement("name");
    if (!nameElement) {
        log(Log::Level::Error, "%s: element 'name' is missing", label.c_str());
        return std::nullopt;
    }
    char const* alias = nameElement->Attribute("alias");
    if (alias && *alias) {
        return std::string(alias);
    }
    const std::string text = textOf(nameElement);
    if (!text.empty()) {
        return Common::CamelCaser::convert(text);
    }
    log(Log::Level::Error, "%s: element 'name' is empty", label.c_str());
    return std::nullopt;
}

template <typename Visit>
bool Schema::forEachSlot(XMLElement const* node, size_t index, char const* kind,
                         char const* labelKind, Visit visit) const {
    size_t k = 0;
    for (XMLElement const* element = node->FirstChildElement(kind); element;
         element = element->NextSiblingElement(kind), ++k) {
        const std::string slotLabel = label(labelKind, index, k);
        char const* slotText = element->Attribute("slot");
        if (!slotText) {
            log(Log::Level::Error, "%s: attribute 'slot' is missing", slotLabel.c_str());
            return false;
        }
        auto const slot = slotNumber(slotText);
        if (!slot) {
            if (std::strcmp(kind, "config") == 0) {
                log(Log::Level::Error, "%s: attribute 'slot' is not unsigned int",
                    slotLabel.c_str());
            } else {
                log(Log::Level::Error, "%s: attribute 'slot' is not unsigned int '%s'",
                    slotLabel.c_str(), slotText);
            }
            return false;
        }
        if (!element->FirstChildElement("name")) {
            log(Log::Level::Error, "%s: element 'name' is missing", slotLabel.c_str());
            return false;
        }
        auto const slotName = parseAlias(element, slotLabel);
        if (!slotName) {
            log(Log::Level::Error, "%s: alias could not be extracted or generated",
                slotLabel.c_str());
            return false;
        }
        if (!visit(element, *slot, *slotName, slotLabel)) {
            return false;
        }
    }
    return true;
}

std::optional<Schema::SlotKind> Schema::parseType(XMLElement const* slot, std::string const& label,
                                                  bool config, uint8_t slotNumber,
                                                  EnumTables& tables) const {
    XMLElement const* typeElement = slot->FirstChildElement("type");
    if (!typeElement) {
        log(Log::Level::Error, "%s: element 'type' is missing", label.c_str());
        return std::nullopt;
    }
    const std::string type = textOf(typeElement);
    if (type == "BOOL") {
        return SlotKind{SlotType::Bool, 0, 0, 0};
    }
    if (type == "COLOR") {
        return SlotKind{SlotType::Color, 0, 0, 0};
    }
    if (type == "ENUM") {
        tables[slotNumber] = parseEnum(slot, label);
        return SlotKind{SlotType::Enum, 0, 0, 0};
    }
    if (type == "NUMBER") {
        return config ? parseConfigNumber(slot, label) : parseTelemetryNumber(slot, label);
    }
    log(Log::Level::Error, "%s: Unknown telemetry type '%s'", label.c_str(), type.c_str());
    return std::nullopt;
}

std::optional<std::pair<std::map<uint8_t, Board::Telemetry>, Schema::EnumTables>>
Schema::parseTelemetry(XMLElement const* node, size_t index) const {
    std::map<uint8_t, Board::Telemetry> telemetries;
    EnumTables tables;
    bool const ok = forEachSlot(
        node, index, "telemetry", "Telemetry",
        [&](XMLElement const* element, uint8_t slot, std::string const& slotName,
            std::string const& label) {
            const auto kind = parseType(element, label, false, slot, tables);
            if (!kind) {
                return false;
            }
            telemetries[slot] = Board::Telemetry{slotName, kind->type, kind->multiplier};
            return true;
        });
    if (!ok) {
        return std::nullopt;
    }
    return std::make_pair(telemetries, tables);
}

std::optional<std::pair<std::map<uint8_t, Board::Config>, Schema::EnumTables>>
Schema::parseConfig(XMLElement const* node, size_t index) const {
    std::map<uint8_t, Board::Config> configs;
    EnumTables tables;
    bool const ok = forEachSlot(node, index, "config", "Config",
                                [&](XMLElement const* element, uint8_t slot,
                                    std::string const& slotName, std::string const& label) {
                                    const auto kind = parseType(element, label, true, slot, tables);
                                    if (!kind) {
                                        return false;
                                    }
                                    // A configuration the boards reserve; its enumeration stays
                                    // recorded.
                                    if (slotName != "module5") {
                                        configs[slot] =
                                            Board::Config{slotName, kind->type, kind->multiplier,
                                                          kind->min, kind->max};
                                    }
                                    return true;
                                });
    if (!ok) {
        return std::nullopt;
    }
    return std::make_pair(configs, tables);
}

std::optional<std::map<uint8_t, std::string>> Schema::parseStatus(XMLElement const* node,
                                                                  size_t index) const {
    return parseNamedSlots(node, index, "status", "Status");
}

std::optional<std::map<uint8_t, std::string>> Schema::parseActions(XMLElement const* node,
                                                                   size_t index) const {
    return parseNamedSlots(node, index, "action", "Action");
}

std::optional<std::map<uint8_t, std::string>> Schema::parseNamedSlots(XMLElement const* node,
                                                                      size_t index,
                                                                      char const* kind,
                                                                      char const* labelKind) const {
    std::map<uint8_t, std::string> names;
    bool const ok = forEachSlot(
        node, index, kind, labelKind,
        [&](XMLElement const*, uint8_t slot, std::string const& slotName, std::string const&) {
            names[slot] = slotName;
            return true;
        });
    return ok ? std::optional(names) : std::nullopt;
}

Board::EnumValues Schema::parseEnum(XMLElement const* slot, std::string const& label) const {
    Board::EnumValues values;
    uint8_t j = 0;
    for (XMLElement const* value = slot->FirstChildElement("value"); value;
         value = value->NextSiblingElement("value"), ++j) {
        char const* alias = value->Attribute("alias");
        const std::string text = textOf(value);
        if (alias && *alias) {
            values[j] = alias;
        } else if (!text.empty()) {
            values[j] = Common::CamelCaser::convert(text);
        } else {
            log(Log::Level::Error, "%s: element 'value' is empty", label.c_str());
        }
    }
    return values;
}

std::optional<Schema::SlotKind> Schema::parseTelemetryNumber(XMLElement const* slot,
                                                             std::string const& label) const {
    uint8_t multiplier = 0;
    if (XMLElement const* multi = slot->FirstChildElement("multi")) {
        const std::string text = textOf(multi);
        if (!String::isNumeric(text)) {
            log(Log::Level::Error, "%s: element 'multi' is not a number '%s'", label.c_str(),
                text.c_str());
            return std::nullopt;
        }
        multiplier = static_cast<uint8_t>(String::toInteger(text, 0));
    }
    return SlotKind{multiplier ? SlotType::Double : SlotType::Int32, multiplier, INT32_MIN,
                    INT32_MAX};
}

std::optional<Schema::SlotKind> Schema::parseConfigNumber(XMLElement const* slot,
                                                          std::string const& label) const {
    auto kind = parseTelemetryNumber(slot, label);
    if (!kind) {
        return std::nullopt;
    }
    for (auto const& [elementName, bound] :
         {std::pair{"min", &kind->min}, std::pair{"max", &kind->max}}) {
        XMLElement const* element = slot->FirstChildElement(elementName);
        if (!element) {
            continue;
        }
        const std::string text = textOf(element);
        if (!String::isNumeric(text)) {
            log(Log::Level::Error, "%s: element '%s' is not a number '%s'", label.c_str(),
                elementName, text.c_str());
            return std::nullopt;
        }
        *bound = static_cast<int32_t>(static_cast<uint32_t>(String::toInteger(text, 0)));
    }
    return kind;
}

// One table per slot serves both kinds; the telemetry's values count.
Schema::EnumTables Schema::mergeEnumTables(EnumTables const& telemetries, EnumTables const& configs,
                                           std::string const& boardName, size_t index) const {
    EnumTables merged = telemetries;
    for (auto const& [slot, values] : configs) {
        auto const [it, inserted] = merged.emplace(slot, values);
        if (!inserted && it->second != values) {
            log(Log::Level::Warning,
                "Node[%zu] board '%s' slot %d: the enumeration values of the telemetry and the "
                "configuration differ, the telemetry's are used",
                index, boardName.c_str(), int(slot));
        }
    }
    return merged;
}

} // namespace velt::ZRV480::Bus
