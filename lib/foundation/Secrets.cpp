#include "foundation/Secrets.h"

#include <string>
#include <vector>

using nlohmann::json;

json Secrets::masked(json const& document) {
    json copy = document;
    // Only leaves are replaced, so the pointers to the containers stay valid.
    std::vector<json*> pending{&copy};
    while (!pending.empty()) {
        json& node = *pending.back();
        pending.pop_back();
        if (node.is_object()) {
            for (auto& [name, value] : node.items()) {
                if (name == "password") {
                    value = "***";
                } else if (value.is_structured()) {
                    pending.push_back(&value);
                }
            }
        } else if (node.is_array()) {
            for (json& value : node) {
                if (value.is_structured()) {
                    pending.push_back(&value);
                }
            }
        }
    }
    return copy;
}

std::string Secrets::maskedText(std::string const& text) {
    if (text.find("password") == std::string::npos) {
        return text;
    }
    // Levels beyond these are left out of the copy, which keeps its writing
    // shallow whatever the sender nested; a copy with levels left out is
    // never the text itself.
    constexpr int Depth = 64;
    bool cut = false;
    json const document = json::parse(
        text,
        [&cut](int depth, json::parse_event_t, json&) {
            cut = cut || depth > Depth;
            return depth <= Depth;
        },
        false);
    if (document.is_discarded()) {
        return "***";
    }
    json const copy = masked(document);
    if (copy == document && !cut) {
        return text;
    }
    return copy.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string Secrets::maskedPayload(std::string const& topic, std::string const& payload) {
    std::string const level = "password";
    for (size_t at = topic.find(level); at != std::string::npos; at = topic.find(level, at + 1)) {
        size_t const end = at + level.size();
        bool const whole =
            (at == 0 || topic[at - 1] == '/') && (end == topic.size() || topic[end] == '/');
        if (whole) {
            return "***";
        }
    }
    return maskedText(payload);
}

std::string Secrets::described(json const& value) {
    switch (value.type()) {
    case json::value_t::null:
        return "null";
    case json::value_t::boolean:
        return "a boolean";
    case json::value_t::string: {
        size_t const size = value.get_ref<std::string const&>().size();
        return std::to_string(size) + (size == 1 ? " byte" : " bytes");
    }
    case json::value_t::array:
        return "an array";
    case json::value_t::object:
        return "an object";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
        return "a number";
    default:
        return "a value";
    }
}
