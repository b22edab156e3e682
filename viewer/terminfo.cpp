// Kept apart: <term.h> defines macros named after every capability
// (lines, columns, ...) that would clash with the viewer's own names.
#include "viewer/terminfo.h"

#include <curses.h>
#include <term.h>
#include <unistd.h>

namespace {

// tputs hands its output to a function without context: the sequence
// being captured, during load_screen_sequences only.
std::string* capturing = nullptr;

int capture_char(int c)
{
    capturing->push_back(static_cast<char>(c));
    return c;
}

// The capability's string with its padding worked out, or empty.
std::string sequence(const char* cap)
{
    std::string out;
    if (cap == nullptr || cap == reinterpret_cast<const char*>(-1))
        return out;
    capturing = &out;
    tputs(cap, 1, capture_char);
    capturing = nullptr;
    return out;
}

}  // namespace

void load_screen_sequences(live_screen& live, int fd)
{
    live.in_place = false;
    if (!isatty(fd))
        return;
    int result = 0;
    if (setupterm(nullptr, fd, &result) != OK || result != 1)
        return;
    std::string home = sequence(tigetstr("home"));
    if (home.empty()) {
        const char* cup = tigetstr("cup");
        if (cup != nullptr && cup != reinterpret_cast<const char*>(-1))
            home = sequence(tiparm(cup, 0, 0));
    }
    live.home = home;
    live.clear_line = sequence(tigetstr("el"));
    live.clear_below = sequence(tigetstr("ed"));
    const int rows = tigetnum("lines");
    live.rows = rows > 0 ? rows : 0;
    const int cols = tigetnum("cols");
    live.cols = cols > 0 ? cols : 0;
    // Automatic margins without the newline glitch: the last column wraps.
    live.last_column = tigetflag("am") != 1 || tigetflag("xenl") == 1;
    live.in_place = !live.home.empty() && !live.clear_line.empty() && !live.clear_below.empty();
}
