#include "viewer/clock.h"

namespace {

// The installed clock; null means the system clock.
clock_fn installed_clock = nullptr;

}  // namespace

std::time_t clock_now()
{
    return installed_clock ? installed_clock() : std::time(nullptr);
}

void set_clock(clock_fn fn) { installed_clock = fn; }

int report_minute(std::time_t t)
{
    std::tm local{};
    localtime_r(&t, &local);
    return local.tm_yday * 1440 + local.tm_hour * 60 + local.tm_min;
}
