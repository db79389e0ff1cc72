#include "foundation/Clock.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iostream>

namespace {

// Kept for callers that record the zone offset; nothing reads it.
std::atomic<int> Clock_UTCOffset{0};

} // namespace

double Clock::millis() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<double>(now.tv_sec) * 1000000000.0 + static_cast<double>(now.tv_nsec)) /
           1000000.0;
}

double Clock::elapsedMillis(double start) {
    return millis() - start;
}

time_t Clock::seconds() {
    return time(nullptr);
}

long Clock::elapsedSeconds(long start) {
    return static_cast<long>(difftime(time(nullptr), static_cast<time_t>(start)));
}

struct tm Clock::getTime() {
    time_t const now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    return local;
}

struct tm Clock::getTimeUTC() {
    time_t const now = time(nullptr);
    struct tm utc {};
    gmtime_r(&now, &utc);
    return utc;
}

void Clock::setTime(struct tm const& time) {
    struct tm copy = time;
    struct timespec const wanted = {mktime(&copy), 0};
    if (clock_settime(CLOCK_REALTIME, &wanted) != 0) {
        std::cerr << "ERROR: Clock::setTime() failed : " << std::strerror(errno) << std::endl;
    }
}

void Clock::setOffsetFromUTC(int offset) {
    Clock_UTCOffset = offset;
}
