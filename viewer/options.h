// The viewer's command line.
#pragma once

#include "viewer/viewer.h"

// Applies the options to the records in command-line order, printing their
// messages. Returns -1 to go on, or the status the process must exit with
// (the usage, version or error text already printed).
int parse_options(int argc, char* argv[], flow_context& ctx);

// Brings mode and report type into line: top mode without -t reports by AS.
void reconcile_mode(viewer_config& config);
