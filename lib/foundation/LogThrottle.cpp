#include "foundation/LogThrottle.h"

#include "foundation/CheckedLock.h"
#include "foundation/String.h"

LogThrottle::LogThrottle(unsigned limit) : perSecond(limit) {}

bool LogThrottle::admit(std::string& note, Clock::time_point now) {
    CheckedLock lock(mutex);
    if (written == 0 || now - windowStart >= std::chrono::seconds(1)) {
        windowStart = now;
        written = 0;
    }
    if (written >= perSecond) {
        ++heldBack;
        return false;
    }
    ++written;
    note =
        heldBack == 0 ? std::string() : String::format(" (%zu more in the last second)", heldBack);
    heldBack = 0;
    return true;
}
