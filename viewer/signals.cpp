// The signal handlers and the little they share with the loop: see signals.h.
#include "viewer/signals.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

namespace {

// Written by the handlers, read by the loop and the alarm.
volatile std::sig_atomic_t end_signal = 0;
std::atomic<const termios*> saved_terminal{nullptr};
static_assert(std::atomic<const termios*>::is_always_lock_free);

constexpr unsigned grace_seconds = 1;

bool is_ending(int signal_number)
{
    return signal_number == SIGINT || signal_number == SIGTERM || signal_number == SIGHUP ||
           signal_number == SIGQUIT;
}

// The loop did not end the viewer in time: only calls that are safe in a
// handler from here on.
void on_grace_expired(int)
{
    if (const termios* t = saved_terminal.load())
        tcsetattr(STDIN_FILENO, TCSANOW, t);
    const int sig = end_signal;
    if (sig != 0 && sig != SIGINT) {
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        sigaction(sig, &dfl, nullptr);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, sig);
        raise(sig);
        sigprocmask(SIG_UNBLOCK, &only, nullptr);
        _exit(128 + sig);
    }
    _exit(0);
}

}  // namespace

void on_interrupt(int signal_number)
{
    if (!is_ending(signal_number) || end_signal != 0)
        return;
    end_signal = signal_number;
    alarm(grace_seconds);
}

sigset_t ending_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&set, sig);
    return set;
}

bool catch_ending_signals()
{
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    // No handler interrupts another; no SA_RESTART, so a blocked call
    // returns to the loop.
    sa.sa_mask = ending_signals();
    sigaddset(&sa.sa_mask, SIGALRM);

    struct sigaction grace = sa;
    grace.sa_handler = on_grace_expired;
    sigaction(SIGALRM, &grace, nullptr);

    const bool interrupt_caught = sigaction(SIGINT, &sa, nullptr) == 0;
    for (int sig : {SIGTERM, SIGHUP, SIGQUIT})
        sigaction(sig, &sa, nullptr);
    return interrupt_caught;
}

int pending_end() { return end_signal; }

void publish_saved_terminal(const termios* saved) { saved_terminal.store(saved); }
