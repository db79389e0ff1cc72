#pragma once

#include <ctime>

// Static time operations on the real-time clock.
class Clock {
public:
    // Milliseconds since the epoch, fraction kept.
    static double millis();
    static double elapsedMillis(double start);
    static time_t seconds();
    static long elapsedSeconds(long start);
    static struct tm getTime();
    static struct tm getTimeUTC();
    // Sets the system clock from a local time; a refusal goes to standard error.
    static void setTime(struct tm const& time);
    static void setOffsetFromUTC(int offset);
};
