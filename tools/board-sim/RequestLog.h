#pragma once

#include "FaultRule.h"
#include "Mutex.h"
#include "ThreadSafety.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace boardsim {

// One received datagram and what the simulator did with it.
struct RequestRecord {
    int64_t timeMs = 0; // monotonic
    uint16_t sourcePort = 0;
    std::string hex;        // the raw request, password bytes left out
    bool malformed = false; // under 4 bytes: the fields below are 0
    uint8_t address = 0;
    uint8_t sequence = 0;
    uint8_t command = 0;
    uint8_t slot = 0;
    Bytes payload; // password bytes left out
    std::optional<uint16_t> segment;
    std::string summary;    // e.g. "ota seg 1/3 len=128"
    std::vector<int> rules; // ids of the rules applied
    std::string reply;      // hex of the reply datagram; empty when there is none
    std::string outcome;    // "sent", "dropped", "held", "delayed N ms" or "no reply"
};

// Thread-safe list of requests that tests can wait on.
class RequestLog {
public:
    void add(RequestRecord record);
    // Keeps only the newest `maxEntries` entries (0: all); counts then see only those.
    void setLimit(size_t maxEntries);
    std::vector<RequestRecord> entries() const;
    void clear();
    size_t count(Filter const& filter) const;
    // Blocks until `count` matching requests are in the log, or timeoutMs ran out.
    bool waitFor(Filter const& filter, size_t count, int timeoutMs) const;

    static bool matches(Filter const& filter, RequestRecord const& record);

private:
    size_t countLocked(Filter const& filter) const SIM_REQUIRES(mutex);

    mutable Mutex mutex;
    mutable std::condition_variable added; // signalled under mutex
    std::deque<RequestRecord> records SIM_GUARDED_BY(mutex);
    size_t limit SIM_GUARDED_BY(mutex) = 0;
};

} // namespace boardsim
