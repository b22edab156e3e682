// Starting, watching and stopping the programs that the tests and the
// benchmarks run: nelkd, nelk and the peers they are measured against.
//
// Every program started here is a `process`, which stops it (SIGTERM, then
// SIGKILL) and reaps it when it goes out of scope, so a failing run never
// leaves one behind; a program we did not fork ourselves (the relay's
// daemon) is stopped by `pid_guard`. Every wait is bounded by a time-out.
// What the kernel says of a process (CPU time, state, memory, descriptors)
// is read from /proc.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/unique_fd.h"

namespace harness {

using std::chrono::milliseconds;

struct spawn_options {
    std::vector<std::string> env;  // "NAME=value", set over our environment
    // Standard input is /dev/null unless one of these says otherwise.
    bool close_stdin = false;
    std::string stdin_path;  // read from this file
    // Standard output and error go to temporary files, read with out() and
    // err(), unless one of these says otherwise.
    bool stdout_pipe = false;  // a pipe whose read end the process holds as out_pipe
    int stdout_fd = -1;        // this descriptor of ours, a pipe's write end say
    std::string stdout_path;   // this file, created or emptied ("/dev/null" throws it away)
    std::string stderr_path;
    // A pseudo-terminal's slave: the program's controlling terminal and its
    // descriptors 0 to 2 (stdout_fd, when given, still takes 1).
    int terminal = -1;
    long nofile = 0;          // soft RLIMIT_NOFILE; 0 keeps ours
    int fill_fds_below = 0;   // hand it descriptors 3 .. n-1 open (on /dev/null)
    bool no_core = false;     // no core file when it crashes
    bool own_group = false;   // a process group of its own, which stop() signals whole
    bool die_with_parent = false;  // killed when the program that started it dies
};

// A started program. It inherits no descriptor but 0 to 2, and its signal
// mask and SIGPIPE and SIGINT are at their defaults, as from a shell.
struct process {
    pid_t pid = -1;
    bool reaped = false;
    int status = 0;    // wait status, once reaped
    rusage usage{};    // the CPU it used, once reaped
    bool group = false;
    std::string out_path, err_path;      // where its output went, when to files
    std::vector<std::string> temporaries;  // those of them that are ours to remove
    unique_fd out_pipe;              // read end of its standard output, with stdout_pipe
    unique_fd pidfd;                 // readable once it ends, so waits end with it

    process() = default;
    process(process&& o) noexcept;
    process& operator=(process&& o) noexcept;
    process(const process&) = delete;
    process& operator=(const process&) = delete;
    ~process();  // stops it and removes its temporary files

    // Its standard output and error so far; also after it ended.
    std::string out() const;
    std::string err() const;
    // True while it has not ended; reaps it when it has.
    bool running();
    // Exit status once ended normally, -1 when killed by a signal or running.
    int exit_code() const;
    // The signal that ended it; 0 when none did (or it runs).
    int term_signal() const;
};

// argv[0] without a slash is looked for in PATH. A program that cannot be
// started ends at once with status 127.
process spawn(const std::vector<std::string>& argv, const spawn_options& opts = {});

// Waits until the process ends, waking as it does; false when the time-out
// passes first.
bool wait_exit(process& p, milliseconds timeout);

// SIGTERM (to its group, with own_group), a grace time, then SIGKILL;
// always reaped afterwards.
void stop(process& p, milliseconds grace = milliseconds(2000));

// Stops a process that is not our child (SIGTERM, then SIGKILL) and waits
// until it is gone. spawn makes us a subreaper, so a daemon that a spawned
// program forked is reaped here too.
void stop_pid(pid_t pid);

struct pid_guard {
    pid_t pid = -1;
    explicit pid_guard(pid_t p) : pid(p) {}
    pid_guard(const pid_guard&) = delete;
    pid_guard& operator=(const pid_guard&) = delete;
    ~pid_guard()
    {
        if (pid > 0)
            stop_pid(pid);
    }
};

// Waits until the program's standard output (or error) holds text.
bool wait_output(const process& p, const std::string& text, milliseconds timeout,
                 bool from_stderr = false);

// Waits until text appears at least n times in standard output (or error).
bool wait_output_count(const process& p, const std::string& text, int n, milliseconds timeout,
                       bool from_stderr = false);

// Occurrences of needle in haystack.
int count(const std::string& haystack, const std::string& needle);

// --- what /proc says of a process

// CPU time (user + system) used so far, in clock ticks.
long cpu_ticks(pid_t pid);
// Time spent on a CPU so far, in nanoseconds (finer than the ticks); -1
// when it is gone.
long long cpu_ns(pid_t pid);
// The state letter ('R', 'S', 'Z'...); 0 when it is gone.
char run_state(pid_t pid);
// A line of /proc/PID/status after its "Key:", blanks and tabs as they are.
std::string proc_status(pid_t pid, const std::string& key);
// A size line of /proc/PID/status ("VmRSS", "VmHWM"...) in KiB; -1 when none.
long status_kib(pid_t pid, const std::string& key);
// Its open descriptors; -1 when it is gone.
int open_fds(pid_t pid);
// Bytes it has read so far (rchar of /proc/PID/io); -1 when unreadable.
long long bytes_read(pid_t pid);

// --- files

// A program by name: PATH first, then the sbin directories a user's PATH
// may lack. "" when it is nowhere.
std::string find_program(const std::string& name);

// The whole of a file; "" when it cannot be read.
std::string read_file(const std::string& path);

// A private directory under TMPDIR (or /tmp), removed with all in it.
struct temp_dir {
    std::string path;  // empty when none could be made
    explicit temp_dir(const std::string& tag = "nelk");
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    ~temp_dir();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

}  // namespace harness
