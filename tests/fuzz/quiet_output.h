// Output of the code under test goes to /dev/null: the fuzzers exercise
// every message but print none, while the fuzzer's own progress lines and
// the sanitizers' reports still reach the real standard error.
#pragma once

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

inline int null_fd = -1;
inline int real_stderr = -1;

// Once, before the first input: standard output to /dev/null for good, and
// sanitizer reports to a copy of standard error that quiet_stderr leaves be.
// With NELK_FUZZ_SHOW_OUTPUT set, everything stays visible, for seeing what
// a seed does.
inline void silence_stdout()
{
    const bool show = std::getenv("NELK_FUZZ_SHOW_OUTPUT") != nullptr;
    null_fd = open(show ? "/dev/stderr" : "/dev/null", O_WRONLY | O_CLOEXEC);
    real_stderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (null_fd < 0 || real_stderr < 0 ||
        (!show && dup2(null_fd, STDOUT_FILENO) < 0)) {
        std::perror("fuzz set-up");
        std::abort();
    }
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<long>(real_stderr)));
}

// Standard error to /dev/null for as long as it lives (getopt's complaints,
// the AS loader's perror lines).
struct quiet_stderr {
    quiet_stderr()
    {
        std::fflush(stderr);
        dup2(null_fd, STDERR_FILENO);
    }
    ~quiet_stderr()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(real_stderr, STDERR_FILENO);
    }
    quiet_stderr(const quiet_stderr&) = delete;
    quiet_stderr& operator=(const quiet_stderr&) = delete;
};

// A broken promise of the code under test: reported, then a crash that
// libFuzzer records with the input.
[[noreturn]] inline void broken(const char* what)
{
    dprintf(real_stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void check(bool ok, const char* what)
{
    if (!ok)
        broken(what);
}

}  // namespace fuzz
