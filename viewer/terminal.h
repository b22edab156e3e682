// The operator's terminal: key mode, the saved settings, and every way out
// of the viewer, all of which put the terminal back as it was.
#pragma once

constexpr int terminal_keys = 1;
constexpr int terminal_restore = 2;

// 1 enters key mode (saving the settings first), 2 restores the saved ones.
void terminal_mode(int which);

// Flushes standard output, restores the terminal and exits with status.
[[noreturn]] void viewer_exit(int status);
