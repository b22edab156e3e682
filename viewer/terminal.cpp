// Key mode on the operator's terminal and the way back out of it.
#include "viewer/terminal.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

// Standard input's settings as they were before key mode; empty until they
// have been read, so settings never read are never applied or restored.
std::optional<termios> saved_settings;

void enter_key_mode()
{
    termios t;
    if (tcgetattr(STDIN_FILENO, &t) != 0) {
        // Nothing to build key mode from: both reports, nothing applied.
        std::printf("ioctl\n");
        std::printf("ioctl2\n");
        return;
    }
    if (!saved_settings)
        saved_settings = t;
    // No echo, no line editing, Control-C as the byte 3; every key press is
    // readable at once as one byte.
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &t) != 0)
        std::printf("ioctl2\n");
}

}  // namespace

void terminal_mode(int which)
{
    if (which == terminal_keys)
        enter_key_mode();
    else if (which == terminal_restore && saved_settings)
        tcsetattr(STDIN_FILENO, TCSANOW, &*saved_settings);
}

void viewer_exit(int status)
{
    std::fflush(stdout);
    terminal_mode(terminal_restore);
    std::exit(status);
}
