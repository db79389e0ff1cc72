#pragma once

#include <algorithm>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace MQTT {

// Handlers by topic filter, kept in the order of their filters. A received
// topic goes to the first filter in that order that matches it. Only filters
// holding '+' or ending in '#' can match another text than their own, so the
// others are found by a hash lookup and only the wildcard filters are tried
// one by one: a message costs the same however many exact topics the tree
// registers.
template <typename Handler> class TopicTable {
public:
    using Entries = std::map<std::string, Handler>;
    using const_iterator = typename Entries::const_iterator;
    using Matcher = bool (*)(std::string const& topic, std::string const& filter);

    // A filter registered twice keeps its first handler.
    bool emplace(std::string const& filter, Handler const& handler) {
        auto const [entry, added] = entries.emplace(filter, handler);
        if (!added) {
            return false;
        }
        if (isWildcard(filter)) {
            wildcards.insert(std::upper_bound(wildcards.begin(), wildcards.end(), entry, byFilter),
                             entry);
        } else {
            exact.emplace(entry->first, entry);
        }
        return true;
    }

    size_t erase(std::string const& filter) {
        auto const entry = entries.find(filter);
        if (entry == entries.end()) {
            return 0;
        }
        if (isWildcard(filter)) {
            wildcards.erase(std::find(wildcards.begin(), wildcards.end(), entry));
        } else {
            exact.erase(entry->first);
        }
        entries.erase(entry);
        return 1;
    }

    // The first entry in filter order that matches topic, or end().
    const_iterator match(std::string const& topic, Matcher matches) const {
        auto const found = exact.find(topic);
        bool const hasExact = found != exact.end();
        for (auto const& wildcard : wildcards) {
            if (hasExact && found->first < wildcard->first) {
                break;
            }
            if (matches(topic, wildcard->first)) {
                return wildcard;
            }
        }
        return hasExact ? found->second : entries.end();
    }

    const_iterator begin() const { return entries.begin(); }
    const_iterator end() const { return entries.end(); }
    size_t size() const { return entries.size(); }

private:
    // The matcher's rule: without '+' and a trailing '#' a filter is literal.
    static bool isWildcard(std::string const& filter) {
        return filter.find('+') != std::string::npos || (!filter.empty() && filter.back() == '#');
    }
    static bool byFilter(const_iterator left, const_iterator right) {
        return left->first < right->first;
    }

    Entries entries;
    // Views of the keys of entries, which stay in place until erased.
    std::unordered_map<std::string_view, const_iterator> exact;
    // In filter order.
    std::vector<const_iterator> wildcards;
};

} // namespace MQTT
