// The live view of top mode (-L): the running interval, shown every few
// seconds by the viewer's clock, redrawn in place on a terminal.
#pragma once

#include <ctime>

#include "viewer/viewer.h"

// True when the live view is due at now: live_seconds after the last
// refresh or the last rollover, whichever came later, or at once when the
// clock has gone back past the last refresh.
bool live_refresh_due(const flow_context& ctx, std::time_t now);

// Shows the live view's page as of the viewer's clock (the running
// interval's report, or the exporter table) and notes the time.
void show_live_view(flow_context& ctx);

// How long the loop may wait before it looks at the clock again: until
// the next whole second of real time, never more than a second.
timespec live_wait();
