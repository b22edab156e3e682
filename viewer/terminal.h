// The operator's terminal: key mode and the way back out of it.
#pragma once

#include "viewer/viewer.h"

enum class terminal_request { keys = 1, restore = 2 };

// keys enters key mode on standard input, saving its settings first;
// restore puts the saved settings back (nothing when none were saved).
void terminal_mode(terminal_state& terminal, terminal_request which);
