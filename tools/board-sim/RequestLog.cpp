#include "RequestLog.h"

#include "Lock.h"

namespace boardsim {

bool RequestLog::matches(Filter const& filter, RequestRecord const& record) {
    if (record.malformed) {
        return false;
    }
    auto sub = record.payload.empty() ? std::optional<uint8_t>() : record.payload[0];
    return (!filter.address || *filter.address == record.address) &&
           (!filter.command || *filter.command == record.command) &&
           (!filter.slot || *filter.slot == record.slot) && (!filter.sub || filter.sub == sub) &&
           (!filter.segment || filter.segment == record.segment);
}

void RequestLog::add(RequestRecord record) {
    {
        Lock lock(mutex);
        records.push_back(std::move(record));
        if (limit && records.size() > limit) {
            records.pop_front();
        }
    }
    added.notify_all();
}

void RequestLog::setLimit(size_t maxEntries) {
    Lock lock(mutex);
    limit = maxEntries;
    while (limit && records.size() > limit) {
        records.pop_front();
    }
}

std::vector<RequestRecord> RequestLog::entries() const {
    Lock lock(mutex);
    return std::vector<RequestRecord>(records.begin(), records.end());
}

void RequestLog::clear() {
    Lock lock(mutex);
    records.clear();
}

size_t RequestLog::count(Filter const& filter) const {
    Lock lock(mutex);
    return countLocked(filter);
}

size_t RequestLog::countLocked(Filter const& filter) const {
    size_t n = 0;
    for (auto const& record : records) {
        n += matches(filter, record) ? 1 : 0;
    }
    return n;
}

bool RequestLog::waitFor(Filter const& filter, size_t count, int timeoutMs) const {
    Lock lock(mutex);
    return lock.waitFor(added, std::chrono::milliseconds(timeoutMs), [&] {
        mutex.assertHeld();
        return countLocked(filter) >= count;
    });
}

} // namespace boardsim
