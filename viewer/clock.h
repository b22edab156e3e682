// The viewer's clock. Report intervals are measured against it; tests put a
// clock of their own in its place so that rollovers need no waiting.
#pragma once

#include <ctime>

using clock_fn = std::time_t (*)();

// The current time in seconds, from the installed clock (time() by default).
std::time_t clock_now();

// Installs fn as the clock; nullptr puts the system clock back.
void set_clock(clock_fn fn);

// Local-time minute of the year: day of the year * 1440 + hour * 60 + minute.
int report_minute(std::time_t t);
