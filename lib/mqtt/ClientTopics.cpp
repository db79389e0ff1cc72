#include "mqtt/Client.h"

#include <vector>

#include "foundation/String.h"

namespace MQTT {

namespace {

// Only a level's last character makes it a wildcard.
bool endsWith(std::string const& level, char wildcard) {
    return !level.empty() && level.back() == wildcard;
}

} // namespace

// The service's own matcher, not MQTT's: '#' alone is a test of characters,
// and a level counts as a wildcard when it ends in '+' or '#'.
bool Client::topicMatch(std::string const& topic, std::string filter) {
    if (topic == filter) {
        return true;
    }
    bool const hasPlus = filter.find('+') != std::string::npos;
    if (endsWith(filter, '#') && !hasPlus) {
        filter.pop_back();
        if (endsWith(filter, '/')) {
            filter.pop_back();
        }
        return topic.compare(0, filter.size(), filter) == 0;
    }
    if (!hasPlus) {
        return false;
    }
    std::vector<std::string> const filterLevels = String::tokenizeV(filter, "/");
    std::vector<std::string> const topicLevels = String::tokenizeV(topic, "/");
    size_t const levels = filterLevels.size();
    if (topicLevels.size() != levels && !endsWith(filter, '#')) {
        return false;
    }
    if (levels == 0) {
        return true;
    }
    if (topicLevels.size() < levels) {
        for (auto const& level : filterLevels) {
            if (endsWith(level, '#')) {
                return true;
            }
            if (!endsWith(level, '+')) {
                return false;
            }
        }
        return true;
    }
    for (size_t i = 0; i < levels; ++i) {
        if (endsWith(filterLevels[i], '#')) {
            return true;
        }
        if (!endsWith(filterLevels[i], '+') && filterLevels[i] != topicLevels[i]) {
            return false;
        }
    }
    return true;
}

std::string Client::removeTopicPart(std::string const& topic, std::string const& part) {
    if (part.empty()) {
        return topic;
    }
    size_t const at = topic.find(part);
    if (at == std::string::npos) {
        return topic;
    }
    std::string const rest = topic.substr(0, at) + topic.substr(at + part.size());
    std::string result;
    for (char const c : rest) {
        if (c == '/' && !result.empty() && result.back() == '/') {
            continue;
        }
        result += c;
    }
    if (!result.empty() && result.front() == '/') {
        result.erase(0, 1);
    }
    return result;
}

} // namespace MQTT
