// A clock the test sets, shared by the tests that need time: Now() gives the local times of
// `times` one per reading (the last one is repeated; a default time when empty), Ticks() gives
// `ticks`.
#pragma once

#include <mutex>
#include <vector>

#include "platform/Clock.h"

namespace testutil {

inline platform::LocalTime At(int year, int month, int day, int hour = 0, int minute = 0,
                              int second = 0) {
    platform::LocalTime t;
    t.year = year, t.month = month, t.day = day;
    t.hour = hour, t.minute = minute, t.second = second;
    t.dayOfWeek = platform::DayOfWeek(year, month, day);
    return t;
}

class FakeClock : public platform::Clock {
public:
    std::vector<platform::LocalTime> times;
    uint32_t ticks = 0;

    void SetDate(int year, int month, int day) { times = {At(year, month, day)}; }

    platform::LocalTime Now() const override {
        std::lock_guard lock(mutex_);
        if (times.empty()) return {};
        const size_t i = next_ < times.size() ? next_++ : times.size() - 1;
        return times[i];
    }
    uint32_t Ticks() const override { return ticks; }

private:
    mutable std::mutex mutex_;
    mutable size_t next_ = 0;
};

}  // namespace testutil
