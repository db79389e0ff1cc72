#pragma once

#include "foundation/CheckedMutex.h"

#include <chrono>
#include <cstddef>
#include <string>

// Holds back a log line that input from outside can repeat at will (a flood
// of datagrams, say): at most `perSecond` of its lines are written in any
// one-second window. The next line written after some were held back tells
// how many, so that only the tail of the last burst goes untold.
class LogThrottle {
public:
    using Clock = std::chrono::steady_clock;

    explicit LogThrottle(unsigned perSecond = 5);
    LogThrottle(LogThrottle const&) = delete;
    LogThrottle& operator=(LogThrottle const&) = delete;

    // Whether the line may be written at `now`. When it may, `note` is what
    // to append to it: " (N more in the last second)" after N held-back
    // lines, else empty.
    bool admit(std::string& note, Clock::time_point now = Clock::now());

private:
    unsigned const perSecond;
    CheckedMutex mutex;
    Clock::time_point windowStart GUARDED_BY(mutex);
    unsigned written GUARDED_BY(mutex) = 0; // in the window
    size_t heldBack GUARDED_BY(mutex) = 0;  // since the last written line
};
