// The only state the viewer shares with its signal handlers: the signal
// that asked it to end, and the terminal settings to put back when the
// viewer cannot end in its own time.
//
// SIGINT ends the viewer with its line and status 0; SIGTERM, SIGHUP and
// SIGQUIT end it by that same signal once the terminal is restored. The
// handlers only note the signal and arm a one-second alarm; the loop acts
// on the note. Should the loop not get there within the second (a write to
// a pager that is paused), the alarm restores the terminal and ends the
// process by itself.
#pragma once

#include <signal.h>
#include <termios.h>

// Installs the handlers (none restarts an interrupted call, so a blocked
// write returns). False when SIGINT's could not be installed.
bool catch_ending_signals();

// The signals that end the viewer, to be blocked while the loop decides to
// wait and delivered only inside the wait.
sigset_t ending_signals();

// The first signal that asked the viewer to end, or 0.
int pending_end();

// The settings that the alarm puts back: the terminal's saved settings,
// which must live until the process ends; null for none.
void publish_saved_terminal(const termios* saved);

// The handler for SIGINT, SIGTERM, SIGHUP and SIGQUIT.
void on_interrupt(int signal_number);
