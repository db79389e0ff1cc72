#include "foundation/Secrets.h"

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
