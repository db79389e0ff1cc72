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
std::string textOf(const XMLElement* element) {
    const char* text = element->GetText();
    return text ? text : "";
}

// An unsigned decimal as the schema writes slots: leading blanks skipped,
// digits up to the first other character, reduced modulo 256. No digit (a
// sign, "x", an empty value) is not a slot.
std::optional<uint8_t> slotNumber(const char* text) {
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
tinyxml2::XMLError trailingContent(const std::string& text) {
    static const char marker[] = "end-of-schema-file";
    const std::string marked = text + "<" + marker + "/>";
    tinyxml2::XMLDocument document;
    if (document.Parse(marked.data(), marked.size()) != tinyxml2::XML_SUCCESS) {
        return document.ErrorID();
    }
    const XMLElement* last = document.LastChildElement();
    if (last == nullptr || std::strcmp(last->Name(), marker) != 0) {
        return tinyxml2::XML_ERROR_MISMATCHED_ELEMENT;
    }
    size_t elements = 0;
    for (const tinyxml2::XMLNode* node = document.FirstChild(); node != last;
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

std::string label(const char* kind, size_t node, size_t element) {
    return String::format("Node[%zu] %s[%zu]", node, kind, element);
}

} // namespace

Schema::Schema()
    : Schema(Utils::combinePath(Common::Helpers::getExecutableDirectory(), "schema.xml")) {}

Schema::Schema(const std::string& path) : Logger("Schema"), path(path) {
    std::string text;
    if (Common::Helpers::fileToStr(path, text) != Common::ErrorCode::Success) {
        log(Log::Level::Error, "Could not open file '%s': %s", path.c_str(), std::strerror(errno));
        return;
    }
    tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
    tinyxml2::XMLError error = document.Parse(text.data(), text.size());
    if (error == tinyxml2::XML_SUCCESS) {
        error = trailingContent(text);
    }
    if (error != tinyxml2::XML_SUCCESS) {
        log(Log::Level::Error, "Could not parse '%s': [%d] '%s'", path.c_str(), int(error),
            tinyxml2::XMLDocument::ErrorIDToName(error));
        return;
    }
    tinyxml2::XMLPrinter printer(nullptr, true, 0);
    document.Print(&printer);
    const char* compact = printer.CStr();
    binary.assign(compact, compact + printer.CStrSize() - 1);
    hash = Common::MD5::calculate(binary);

    valid = parse(document) && boards.count(AddressMain) > 0;
}

Schema::~Schema() = default;

bool Schema::isValid() const {
    return valid;
}

const std::map<uint8_t, Board>& Schema::getBoards() const {
    return boards;
}

std::map<uint8_t, std::string> Schema::getBoardNames() const {
    std::map<uint8_t, std::string> names;
    for (const auto& [address, board] : boards) {
        names.emplace(address, board.getName());
    }
    return names;
}

const std::vector<uint8_t>& Schema::getBinary() const {
    return binary;
}

std::array<uint8_t, 16> Schema::getHash() const {
    return hash;
}

void Schema::print() const {
    for (const auto& entry : boards) {
        entry.second.print();
    }
}

bool Schema::parse(const tinyxml2::XMLDocument& document) {
    const XMLElement* root = document.FirstChildElement("schema");
    if (!root) {
        log(Log::Level::Error, "element 'schema' is missing");
        return false;
    }
    size_t index = 0;
    for (const XMLElement* node = root->FirstChildElement("node"); node;
         node = node->NextSiblingElement("node"), ++index) {
        if (!parseNode(node, index)) {
            return false;
        }
    }
    return true;
}

bool Schema::parseNode(const XMLElement* node, size_t index) {
    const auto addressText = getText(node, index, "address");
    const auto maskText = getText(node, index, "mask");
    const auto nameText = getText(node, index, "name");
    const auto versionText = getText(node, index, "version");
    if (!addressText || !maskText || !nameText || !versionText) {
        return false;
    }

    // Every rule runs so that one pass reports all of a node's faults.
    const auto address = parseAddress(*addressText, index);
    const bool maskOk = parseMask(*maskText, index);
    const auto version = parseVersion(*versionText, index);
    const auto name = parseAlias(node, String::format("Node[%zu]", index));
    if (!address || !maskOk || !version || !name) {
        return false;
    }

    const auto telemetries = parseTelemetry(node, index);
    if (!telemetries) {
        return false;
    }
    const auto configs = parseConfig(node, index);
    if (!configs) {
        return false;
    }
    auto statuses = parseStatus(node, index);
    if (!statuses) {
        return false;
    }
    const auto actions = parseActions(node, index);
    if (!actions) {
        return false;
    }

    const EnumTables enumTables =
        mergeEnumTables(telemetries->second, configs->second, *name, index);
    const auto ota = getText(node, index, "ota");
    const std::string firmwareFilename = ota ? *ota : *name + ".bin";
    (*statuses)[0] = "fatal";

    // The first board at an address stands.
    boards.emplace(*address, Board(*address, *name, firmwareFilename, *version, *statuses,
                                   telemetries->first, configs->first, *actions, enumTables));
    return true;
}

std::optional<std::string> Schema::getText(const XMLElement* node, size_t index,
                                           const char* name) const {
    const XMLElement* element = node->FirstChildElement(name);
    if (!element) {
        log(Log::Level::Error, "Node[%zu] element '%s' is missing", index, name);
        return std::nullopt;
    }
    return textOf(element);
}

std::optional<uint8_t> Schema::parseAddress(const std::string& text, size_t index) const {
    if (text.size() != 4) {
        log(Log::Level::Error, "Node[%zu] element 'address' length is not %zu", index, size_t(4));
        return std::nullopt;
    }
    return static_cast<uint8_t>(String::toInteger(text.substr(2, 2), 16));
}

bool Schema::parseMask(const std::string& text, size_t index) const {
    if (text.size() != 10) {
        log(Log::Level::Error, "Node[%zu] element 'mask' length is not %zu", index, size_t(10));
        return false;
    }
    return true;
}

std::optional<uint8_t> Schema::parseVersion(const std::string& text, size_t index) const {
    const std::vector<std::string> pieces = String::tokenizeV(text, "v.");
    if (pieces.size() != 3) {
        log(Log::Level::Error, "Node[%zu] element 'version' segments is not %zu (actual=%zu)",
            index, size_t(3), pieces.size());
        return std::nullopt;
    }
    std::string joined;
    for (const std::string& piece : pieces) {
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

std::optional<std::string> Schema::parseAlias(const XMLElement* element,
                                              const std::string& label) const {
    const XMLElement* name = element->FirstChildElement("name");
    if (!name) {
        log(Log::Level::Error, "%s: element 'name' is missing", label.c_str());
        return std::nullopt;
    }
    const char* alias = name->Attribute("alias");
    if (alias && *alias) {
        return std::string(alias);
    }
    const std::string text = textOf(name);
    if (!text.empty()) {
        return Common::CamelCaser::convert(text);
    }
    log(Log::Level::Error, "%s: element 'name' is empty", label.c_str());
    return std::nullopt;
}

template <typename Visit>
bool Schema::forEachSlot(const XMLElement* node, size_t index, const char* kind,
                         const char* labelKind, Visit visit) const {
    size_t k = 0;
    for (const XMLElement* element = node->FirstChildElement(kind); element;
         element = element->NextSiblingElement(kind), ++k) {
        const std::string slotLabel = label(labelKind, index, k);
        const char* slotText = element->Attribute("slot");
        if (!slotText) {
            log(Log::Level::Error, "%s: attribute 'slot' is missing", slotLabel.c_str());
            return false;
        }
        const auto slot = slotNumber(slotText);
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
        const auto name = parseAlias(element, slotLabel);
        if (!name) {
            log(Log::Level::Error, "%s: alias could not be extracted or generated",
                slotLabel.c_str());
            return false;
        }
        if (!visit(element, *slot, *name, slotLabel)) {
            return false;
        }
    }
    return true;
}

std::optional<Schema::SlotKind> Schema::parseType(const XMLElement* slot, const std::string& label,
                                                  bool config, uint8_t slotNumber,
                                                  EnumTables& tables) const {
    const XMLElement* typeElement = slot->FirstChildElement("type");
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
Schema::parseTelemetry(const XMLElement* node, size_t index) const {
    std::map<uint8_t, Board::Telemetry> telemetries;
    EnumTables tables;
    const bool ok =
        forEachSlot(node, index, "telemetry", "Telemetry",
                    [&](const XMLElement* element, uint8_t slot, const std::string& name,
                        const std::string& label) {
                        const auto kind = parseType(element, label, false, slot, tables);
                        if (!kind) {
                            return false;
                        }
                        telemetries[slot] = Board::Telemetry{name, kind->type, kind->multiplier};
                        return true;
                    });
    if (!ok) {
        return std::nullopt;
    }
    return std::make_pair(telemetries, tables);
}

std::optional<std::pair<std::map<uint8_t, Board::Config>, Schema::EnumTables>>
Schema::parseConfig(const XMLElement* node, size_t index) const {
    std::map<uint8_t, Board::Config> configs;
    EnumTables tables;
    const bool ok = forEachSlot(node, index, "config", "Config",
                                [&](const XMLElement* element, uint8_t slot,
                                    const std::string& name, const std::string& label) {
                                    const auto kind = parseType(element, label, true, slot, tables);
                                    if (!kind) {
                                        return false;
                                    }
                                    // A configuration the boards reserve; its enumeration stays
                                    // recorded.
                                    if (name != "module5") {
                                        configs[slot] =
                                            Board::Config{name, kind->type, kind->multiplier,
                                                          kind->min, kind->max};
                                    }
                                    return true;
                                });
    if (!ok) {
        return std::nullopt;
    }
    return std::make_pair(configs, tables);
}

std::optional<std::map<uint8_t, std::string>> Schema::parseStatus(const XMLElement* node,
                                                                  size_t index) const {
    return parseNamedSlots(node, index, "status", "Status");
}

std::optional<std::map<uint8_t, std::string>> Schema::parseActions(const XMLElement* node,
                                                                   size_t index) const {
    return parseNamedSlots(node, index, "action", "Action");
}

std::optional<std::map<uint8_t, std::string>> Schema::parseNamedSlots(const XMLElement* node,
                                                                      size_t index,
                                                                      const char* kind,
                                                                      const char* labelKind) const {
    std::map<uint8_t, std::string> names;
    const bool ok = forEachSlot(
        node, index, kind, labelKind,
        [&](const XMLElement*, uint8_t slot, const std::string& name, const std::string&) {
            names[slot] = name;
            return true;
        });
    return ok ? std::optional(names) : std::nullopt;
}

Board::EnumValues Schema::parseEnum(const XMLElement* slot, const std::string& label) const {
    Board::EnumValues values;
    uint8_t j = 0;
    for (const XMLElement* value = slot->FirstChildElement("value"); value;
         value = value->NextSiblingElement("value"), ++j) {
        const char* alias = value->Attribute("alias");
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

std::optional<Schema::SlotKind> Schema::parseTelemetryNumber(const XMLElement* slot,
                                                             const std::string& label) const {
    uint8_t multiplier = 0;
    if (const XMLElement* multi = slot->FirstChildElement("multi")) {
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

std::optional<Schema::SlotKind> Schema::parseConfigNumber(const XMLElement* slot,
                                                          const std::string& label) const {
    auto kind = parseTelemetryNumber(slot, label);
    if (!kind) {
        return std::nullopt;
    }
    for (const auto& [name, bound] : {std::pair{"min", &kind->min}, std::pair{"max", &kind->max}}) {
        const XMLElement* element = slot->FirstChildElement(name);
        if (!element) {
            continue;
        }
        const std::string text = textOf(element);
        if (!String::isNumeric(text)) {
            log(Log::Level::Error, "%s: element '%s' is not a number '%s'", label.c_str(), name,
                text.c_str());
            return std::nullopt;
        }
        *bound = static_cast<int32_t>(static_cast<uint32_t>(String::toInteger(text, 0)));
    }
    return kind;
}

// One table per slot serves both kinds; the telemetry's values count.
Schema::EnumTables Schema::mergeEnumTables(const EnumTables& telemetries, const EnumTables& configs,
                                           const std::string& boardName, size_t index) const {
    EnumTables merged = telemetries;
    for (const auto& [slot, values] : configs) {
        const auto [it, inserted] = merged.emplace(slot, values);
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
