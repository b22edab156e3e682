// The viewer's clock. Report intervals are measured against it; tests put a
// clock of their own in the viewer_clock so that rollovers need no waiting.
#pragma once

#include <ctime>

#include "viewer/viewer.h"

// The current time in seconds, from the clock's function (time() if none).
std::time_t clock_now(const viewer_clock& clock);

// Local-time minute of the year: day of the year * 1440 + hour * 60 + minute.
int report_minute(std::time_t t);

// report_minute of t, worked out again only when t differs from the last.
int cached_report_minute(viewer_clock& clock, std::time_t t);
