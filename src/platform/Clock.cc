#include "platform/Clock.h"

namespace platform {

int DayOfWeek(int year, int month, int day) {
    // Sakamoto's method gives Sunday 0 .. Saturday 6.
    static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) year -= 1;
    const int w = (year + year / 4 - year / 100 + year / 400 + t[month - 1] + day) % 7;
    return w == 0 ? 7 : w;
}

}  // namespace platform
