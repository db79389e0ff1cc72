#pragma once

#include "FaultRule.h"
#include "Mutex.h"
#include "RequestLog.h"
#include "ThreadSafety.h"

#include <cstdint>
#include <random>
#include <vector>

namespace boardsim {

// The fault rules in insertion order and how often each matched and acted.
class FaultRules {
public:
    struct Applied {
        Action action; // the merged actions of every rule that acted
        std::vector<int> ids;
    };

    int add(Rule const& rule);
    bool remove(int id);
    void clear();
    uint32_t uses(int id) const;
    // Counts the request against every matching rule and returns what to do.
    Applied evaluate(RequestRecord const& request);

private:
    struct Entry {
        int id;
        Rule rule;
        uint32_t matched = 0;
        uint32_t uses = 0;
        std::mt19937 random;
    };
    static void merge(Action& into, Action const& from);

    mutable Mutex mutex;
    std::vector<Entry> entries SIM_GUARDED_BY(mutex);
    int nextId SIM_GUARDED_BY(mutex) = 1;
};

} // namespace boardsim
