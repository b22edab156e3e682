// The terminal's own sequences for the live view, from terminfo.
#pragma once

#include "viewer/viewer.h"

// Fills in the sequences that move the cursor home, clear the rest of a
// line and clear the rest of the screen for the terminal on descriptor fd
// (as TERM names it) and sets in_place; leaves the live view plain when fd
// is no terminal, the terminal is unknown or lacks any of them.
void load_screen_sequences(live_screen& live, int fd);
