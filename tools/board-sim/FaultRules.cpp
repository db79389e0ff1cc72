#include "FaultRules.h"

#include "Lock.h"

#include <algorithm>

namespace boardsim {

int FaultRules::add(Rule const& rule) {
    Lock lock(mutex);
    entries.push_back(Entry{nextId, rule, 0, 0, std::mt19937(rule.seed)});
    return nextId++;
}

bool FaultRules::remove(int id) {
    Lock lock(mutex);
    auto it =
        std::find_if(entries.begin(), entries.end(), [id](Entry const& e) { return e.id == id; });
    if (it == entries.end()) {
        return false;
    }
    entries.erase(it);
    return true;
}

void FaultRules::clear() {
    Lock lock(mutex);
    entries.clear();
}

uint32_t FaultRules::uses(int id) const {
    Lock lock(mutex);
    for (auto const& e : entries) {
        if (e.id == id) {
            return e.uses;
        }
    }
    return 0;
}

FaultRules::Applied FaultRules::evaluate(RequestRecord const& request) {
    Lock lock(mutex);
    Applied applied;
    for (auto& e : entries) {
        Rule const& rule = e.rule;
        if (!RequestLog::matches(rule.match, request)) {
            continue;
        }
        ++e.matched;
        if ((rule.nth && e.matched != rule.nth) || (rule.times && e.uses >= rule.times)) {
            continue;
        }
        if (rule.probability < 1.0 &&
            std::uniform_real_distribution<double>(0.0, 1.0)(e.random) >= rule.probability) {
            continue;
        }
        ++e.uses;
        merge(applied.action, rule.action);
        applied.ids.push_back(e.id);
        if (!rule.chain) {
            break;
        }
    }
    return applied;
}

void FaultRules::merge(Action& into, Action const& from) {
    auto take = [](auto& to, auto const& value) {
        if (value) {
            to = value;
        }
    };
    into.drop = into.drop || from.drop;
    into.hold = into.hold || from.hold;
    into.delayMs = std::max(into.delayMs, from.delayMs);
    take(into.duplicateGapMs, from.duplicateGapMs);
    take(into.seqOffset, from.seqOffset);
    take(into.seqValue, from.seqValue);
    take(into.address, from.address);
    take(into.command, from.command);
    if (from.error) {
        into.error = from.error;
        into.errorExtra = from.errorExtra;
    }
    take(into.payload, from.payload);
    take(into.result, from.result);
    take(into.echo, from.echo);
    take(into.truncate, from.truncate);
    take(into.append, from.append);
    take(into.shortLength, from.shortLength);
    take(into.oversize, from.oversize);
    take(into.unsolicited, from.unsolicited);
}

} // namespace boardsim
