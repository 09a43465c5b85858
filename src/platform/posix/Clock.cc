#include <time.h>

#include "platform/Clock.h"

namespace platform {
namespace {

class PosixClock final : public Clock {
public:
    LocalTime Now() const override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        tm local{};
        localtime_r(&ts.tv_sec, &local);
        LocalTime t;
        t.year = local.tm_year + 1900;
        t.month = local.tm_mon + 1;
        t.day = local.tm_mday;
        t.hour = local.tm_hour;
        t.minute = local.tm_min;
        t.second = local.tm_sec;
        t.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
        t.dayOfWeek = local.tm_wday == 0 ? 7 : local.tm_wday;
        return t;
    }

    uint32_t Ticks() const override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
        return static_cast<uint32_t>(ms);  // truncation gives GetTickCount's wrap
    }
};

}  // namespace

Clock& SystemClock() {
    static PosixClock clock;
    return clock;
}

}  // namespace platform
