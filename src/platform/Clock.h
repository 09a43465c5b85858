// The two clocks of the service: the local wall clock (log stamps, log file names, archive day
// cut-off) and the 32-bit millisecond tick (intervals). Tests substitute their own Clock.
#pragma once

#include <cstdint>

namespace platform {

struct LocalTime {
    int year = 2000;  // four digits
    int month = 1;    // 1..12
    int day = 1;      // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    int dayOfWeek = 6;  // Monday 1 .. Sunday 7
};

class Clock {
public:
    virtual ~Clock() = default;
    // The local date and time now.
    virtual LocalTime Now() const = 0;
    // Milliseconds since an arbitrary start, wrapping at 2^32 (as GetTickCount).
    virtual uint32_t Ticks() const = 0;
};

// The real clocks. Thread-safe; lives for the whole process.
Clock& SystemClock();

// Day of the week (Monday 1 .. Sunday 7) of a proleptic Gregorian date. Pure.
int DayOfWeek(int year, int month, int day);

}  // namespace platform
