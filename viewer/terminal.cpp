// Key mode on the operator's terminal and the way back out of it.
#include "viewer/terminal.h"

#include <termios.h>
#include <unistd.h>

#include "viewer/messages.h"

namespace {

void enter_key_mode(terminal_state& terminal)
{
    termios t;
    if (tcgetattr(STDIN_FILENO, &t) != 0) {
        // Nothing to build key mode from: both reports, nothing applied.
        report_terminal_unreadable();
        report_key_mode_refused();
        return;
    }
    if (!terminal.saved)
        terminal.saved = t;
    // No echo, no line editing, Control-C as the byte 3; every key press is
    // readable at once as one byte.
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &t) != 0)
        report_key_mode_refused();
}

}  // namespace

void terminal_mode(terminal_state& terminal, terminal_request which)
{
    if (which == terminal_request::keys)
        enter_key_mode(terminal);
    else if (which == terminal_request::restore && terminal.saved)
        tcsetattr(STDIN_FILENO, TCSANOW, &*terminal.saved);
}
