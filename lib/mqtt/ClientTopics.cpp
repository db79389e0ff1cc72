#include "mqtt/Client.h"

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace MQTT {

namespace {

// Only a level's last character makes it a wildcard.
bool endsWith(std::string_view level, char wildcard) {
    return !level.empty() && level.back() == wildcard;
}

// The non-empty levels of a topic or filter, in order, as views of its text.
class Levels {
public:
    explicit Levels(std::string_view topic) : text(topic) {}

    bool next(std::string_view& level) {
        size_t const start = text.find_first_not_of('/', position);
        if (start == std::string_view::npos) {
            position = text.size();
            return false;
        }
        size_t const end = std::min(text.find('/', start), text.size());
        level = text.substr(start, end - start);
        position = end;
        return true;
    }

    static size_t count(std::string_view text) {
        Levels levels(text);
        size_t count = 0;
        for (std::string_view level; levels.next(level);) {
            ++count;
        }
        return count;
    }

private:
    std::string_view text;
    size_t position = 0;
};

} // namespace

// The service's own matcher, not MQTT's: '#' alone is a test of characters,
// and a level counts as a wildcard when it ends in '+' or '#'. It runs for
// every wildcard filter on every message, so it works on views and never
// copies.
bool Client::topicMatch(std::string const& topic, std::string const& filter) {
    if (topic == filter) {
        return true;
    }
    bool const hasPlus = filter.find('+') != std::string::npos;
    if (endsWith(filter, '#') && !hasPlus) {
        std::string_view prefix(filter);
        prefix.remove_suffix(1);
        if (endsWith(prefix, '/')) {
            prefix.remove_suffix(1);
        }
        return std::string_view(topic).substr(0, prefix.size()) == prefix;
    }
    if (!hasPlus) {
        return false;
    }
    size_t const levels = Levels::count(filter);
    size_t const topicLevels = Levels::count(topic);
    if (topicLevels != levels && !endsWith(filter, '#')) {
        return false;
    }
    // With fewer topic levels only wildcard levels up to a '#' can match.
    bool const fewer = topicLevels < levels;
    Levels filterLevels(filter);
    Levels remaining(topic);
    std::string_view topicLevel;
    for (std::string_view level; filterLevels.next(level);) {
        if (endsWith(level, '#')) {
            return true;
        }
        if (fewer) {
            if (!endsWith(level, '+')) {
                return false;
            }
            continue;
        }
        remaining.next(topicLevel);
        if (!endsWith(level, '+') && level != topicLevel) {
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
    // One pass over what is left around the part, without a copy of it.
    std::string result;
    result.reserve(topic.size() - part.size());
    auto const keep = [&result](char c) {
        if (c != '/' || result.empty() || result.back() != '/') {
            result += c;
        }
    };
    std::for_each(topic.begin(), topic.begin() + static_cast<std::ptrdiff_t>(at), keep);
    std::for_each(topic.begin() + static_cast<std::ptrdiff_t>(at + part.size()), topic.end(), keep);
    if (!result.empty() && result.front() == '/') {
        result.erase(0, 1);
    }
    return result;
}

} // namespace MQTT
