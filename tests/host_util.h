// Helpers of the service host tests: a clock the test sets.
#pragma once

#include <mutex>
#include <vector>

#include "platform/Clock.h"

namespace hosttest {

// Gives the times a test sets, one per reading; the last one is repeated.
class FakeClock : public platform::Clock {
public:
    std::vector<platform::LocalTime> times;
    platform::LocalTime Now() const override {
        std::lock_guard lock(mutex_);
        const size_t i = next_ < times.size() ? next_++ : times.size() - 1;
        return times.at(i);
    }
    uint32_t Ticks() const override { return 0; }

private:
    mutable std::mutex mutex_;
    mutable size_t next_ = 0;
};

inline platform::LocalTime At(int year, int month, int day, int hour, int minute, int second) {
    platform::LocalTime t;
    t.year = year, t.month = month, t.day = day;
    t.hour = hour, t.minute = minute, t.second = second;
    return t;
}

}  // namespace hosttest
