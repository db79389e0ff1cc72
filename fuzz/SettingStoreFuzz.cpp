// Settings documents merged into a store: whatever the document, the store
// stays one that rebuilds its JSON.
#include "foundation/SettingStore.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    // Two documents, split at the first NUL byte, merged one over the other.
    uint8_t const* const end = data + size;
    uint8_t const* split = data;
    while (split != end && *split != 0) {
        ++split;
    }
    SettingStore store;
    for (auto [from, to] :
         {std::pair{data, split}, std::pair{split == end ? end : split + 1, end}}) {
        nlohmann::json const document = nlohmann::json::parse(from, to, nullptr, false);
        if (document.is_discarded()) {
            continue;
        }
        try {
            store.fromJson(document);
        } catch (std::invalid_argument const&) {
            // Too deep: refused whole.
        }
    }
    nlohmann::json const rebuilt = store.toJson();
    SettingStore copy;
    copy.fromJson(rebuilt);
    if (copy.toJson() != rebuilt) {
        abort();
    }
    return 0;
}
