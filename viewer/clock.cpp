#include "viewer/clock.h"

std::time_t clock_now(const viewer_clock& clock)
{
    return clock.now ? clock.now() : std::time(nullptr);
}

int report_minute(std::time_t t)
{
    std::tm local{};
    localtime_r(&t, &local);
    return local.tm_yday * 1440 + local.tm_hour * 60 + local.tm_min;
}

int cached_report_minute(viewer_clock& clock, std::time_t t)
{
    if (t != clock.cached_time) {
        clock.cached_minute = report_minute(t);
        clock.cached_time = t;
    }
    return clock.cached_minute;
}
