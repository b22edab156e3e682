#include "tools/harness/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

namespace harness {

namespace {

using clock = std::chrono::steady_clock;

// Our environment with the given "NAME=value" entries set over it.
std::vector<std::string> environment_with(const std::vector<std::string>& set)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& s : set)
            replaced = replaced || s.compare(0, name.size(), name) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), set.begin(), set.end());
    return env;
}

// The file given, or a temporary one that the process removes.
std::string output_file(process& p, const std::string& given, const char* tag)
{
    if (!given.empty())
        return given;
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/nelk-" + tag + "-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0)
        return "/dev/null";
    close(fd);
    p.temporaries.push_back(path);
    return path;
}

int open_output(const std::string& path)
{
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

// In the child between fork and exec: only calls that are safe there.
[[noreturn]] void exec_child(const spawn_options& opts, int in_fd, int out_fd, int err_fd,
                             char* const* argv, char* const* envp)
{
    if (opts.own_group)
        setpgid(0, 0);
    if (opts.die_with_parent)
        prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (opts.terminal >= 0) {
        if (login_tty(opts.terminal) != 0)
            _exit(126);
    } else {
        if (opts.close_stdin)
            close(0);
        else
            dup2(in_fd, 0);
        dup2(err_fd, 2);
    }
    if (out_fd >= 0)
        dup2(out_fd, 1);
    // Only what we give it: nothing leaked from the test runner.
    close_range(3, ~0U, 0);
    if (opts.nofile > 0) {
        rlimit rl{};
        getrlimit(RLIMIT_NOFILE, &rl);
        rl.rlim_cur = static_cast<rlim_t>(opts.nofile);
        if (rl.rlim_max != RLIM_INFINITY && rl.rlim_cur > rl.rlim_max)
            rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    if (opts.fill_fds_below > 3) {
        const int null_fd = open("/dev/null", O_RDONLY);
        for (int fd = 3; fd < opts.fill_fds_below; ++fd)
            if (fd != null_fd)
                dup2(null_fd, fd);
        if (null_fd >= opts.fill_fds_below)
            close(null_fd);
    }
    if (opts.no_core) {
        const rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
    }
    sigset_t nothing;
    sigemptyset(&nothing);
    sigprocmask(SIG_SETMASK, &nothing, nullptr);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    execvpe(argv[0], argv, envp);
    _exit(127);
}

}  // namespace

process::process(process&& o) noexcept
    : pid(std::exchange(o.pid, -1)),
      reaped(o.reaped),
      status(o.status),
      usage(o.usage),
      group(o.group),
      out_path(std::exchange(o.out_path, {})),
      err_path(std::exchange(o.err_path, {})),
      temporaries(std::exchange(o.temporaries, {})),
      out_pipe(std::move(o.out_pipe)),
      pidfd(std::move(o.pidfd))
{
}

process& process::operator=(process&& o) noexcept
{
    if (this != &o) {
        process old(std::move(*this));  // stopped and cleaned up as it goes
        pid = std::exchange(o.pid, -1);
        reaped = o.reaped;
        status = o.status;
        usage = o.usage;
        group = o.group;
        out_path = std::exchange(o.out_path, {});
        err_path = std::exchange(o.err_path, {});
        temporaries = std::exchange(o.temporaries, {});
        out_pipe = std::move(o.out_pipe);
        pidfd = std::move(o.pidfd);
    }
    return *this;
}

process::~process()
{
    stop(*this);
    for (const std::string& path : temporaries)
        unlink(path.c_str());
}

std::string process::out() const
{
    return out_path.empty() ? "" : read_file(out_path);
}

std::string process::err() const
{
    return err_path.empty() ? "" : read_file(err_path);
}

bool process::running()
{
    if (pid <= 0 || reaped)
        return false;
    int st = 0;
    const pid_t r = wait4(pid, &st, WNOHANG, &usage);
    if (r == pid || (r < 0 && errno == ECHILD)) {
        reaped = true;
        status = st;
        return false;
    }
    return true;
}

int process::exit_code() const
{
    return reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int process::term_signal() const
{
    return reaped && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

process spawn(const std::vector<std::string>& argv, const spawn_options& opts)
{
    // Daemons that our children leave behind become ours, so that stop_pid
    // can reap them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    process p;
    p.group = opts.own_group;

    // Everything the child needs is prepared before fork.
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_strings = environment_with(opts.env);
    std::vector<char*> envp;
    for (std::string& e : env_strings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    unique_fd in(open(opts.stdin_path.empty() ? "/dev/null" : opts.stdin_path.c_str(),
                      O_RDONLY | O_CLOEXEC));
    unique_fd out, err;
    if (opts.stdout_fd >= 0) {
        out.reset(fcntl(opts.stdout_fd, F_DUPFD_CLOEXEC, 3));
    } else if (opts.stdout_pipe) {
        int pipe_fds[2];
        if (pipe2(pipe_fds, O_CLOEXEC) == 0) {
            out.reset(pipe_fds[1]);
            p.out_pipe.reset(pipe_fds[0]);
        }
    } else if (opts.terminal < 0) {
        p.out_path = output_file(p, opts.stdout_path, "out");
        out.reset(open_output(p.out_path));
    }
    if (opts.terminal < 0) {
        p.err_path = output_file(p, opts.stderr_path, "err");
        err.reset(open_output(p.err_path));
    }

    p.pid = fork();
    if (p.pid == 0)
        exec_child(opts, in.get(), out.get(), err.get(), args.data(), envp.data());
    if (p.pid < 0) {
        p.reaped = true;
        return p;
    }
    if (opts.own_group)
        setpgid(p.pid, p.pid);
    p.pidfd.reset(static_cast<int>(syscall(SYS_pidfd_open, p.pid, 0)));
    return p;
}

bool wait_exit(process& p, milliseconds timeout)
{
    const auto end = clock::now() + timeout;
    while (p.running()) {
        const auto left = std::chrono::duration_cast<milliseconds>(end - clock::now()).count();
        if (left <= 0)
            return false;
        // Without a pidfd (an old kernel), a look every millisecond.
        pollfd pfd{p.pidfd.get(), POLLIN, 0};
        poll(&pfd, p.pidfd ? 1 : 0, static_cast<int>(p.pidfd ? left : 1));
    }
    return true;
}

void stop(process& p, milliseconds grace)
{
    if (!p.running())
        return;
    const pid_t target = p.group ? -p.pid : p.pid;
    kill(target, SIGTERM);
    if (!wait_exit(p, grace)) {
        kill(target, SIGKILL);
        int st = 0;
        if (wait4(p.pid, &st, 0, &p.usage) == p.pid)
            p.status = st;
        p.reaped = true;
    }
    // The rest of its group (a collector's helpers), orphaned to us.
    if (p.group) {
        kill(-p.pid, SIGKILL);
        for (int i = 0; i < 200; ++i) {
            const pid_t r = waitpid(-p.pid, nullptr, WNOHANG);
            if (r < 0)
                break;
            if (r == 0)
                std::this_thread::sleep_for(milliseconds(5));
        }
    }
}

void stop_pid(pid_t pid)
{
    if (pid <= 0)
        return;
    const auto gone = [pid] {
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) == pid)
            return true;
        const char s = run_state(pid);
        return s == 0 || s == 'Z' || s == 'X';
    };
    for (int sig : {SIGTERM, SIGKILL}) {
        kill(pid, sig);
        const auto end = clock::now() + milliseconds(2000);
        while (!gone() && clock::now() < end)
            std::this_thread::sleep_for(milliseconds(5));
        if (gone())
            return;
    }
}

bool wait_output(const process& p, const std::string& text, milliseconds timeout,
                 bool from_stderr)
{
    return wait_output_count(p, text, 1, timeout, from_stderr);
}

bool wait_output_count(const process& p, const std::string& text, int n, milliseconds timeout,
                       bool from_stderr)
{
    const auto end = clock::now() + timeout;
    for (;;) {
        if (count(from_stderr ? p.err() : p.out(), text) >= n)
            return true;
        if (clock::now() >= end)
            return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
}

int count(const std::string& haystack, const std::string& needle)
{
    int n = 0;
    for (auto at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size()))
        ++n;
    return n;
}

namespace {

// The fields of /proc/PID/stat after the command name, from the state on.
std::vector<std::string> stat_fields(pid_t pid)
{
    const std::string line = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::vector<std::string> fields;
    const auto paren = line.rfind(')');
    if (paren == std::string::npos)
        return fields;
    std::istringstream rest(line.substr(paren + 1));
    for (std::string f; rest >> f;)
        fields.push_back(f);
    return fields;
}

// The value after "key:" on a line of a /proc file of the process.
std::string proc_line(pid_t pid, const char* file, const std::string& key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, key.size() + 1, key + ":") == 0)
            return line.substr(key.size() + 1);
    return "";
}

}  // namespace

long cpu_ticks(pid_t pid)
{
    // Fields 14 and 15 of the line: utime and stime.
    const auto f = stat_fields(pid);
    return f.size() > 12 ? std::stol(f[11]) + std::stol(f[12]) : 0;
}

long long cpu_ns(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    long long ns = -1;
    in >> ns;
    return ns;
}

char run_state(pid_t pid)
{
    const auto f = stat_fields(pid);
    return f.empty() ? 0 : f[0][0];
}

std::string proc_status(pid_t pid, const std::string& key)
{
    return proc_line(pid, "status", key);
}

long status_kib(pid_t pid, const std::string& key)
{
    const std::string v = proc_status(pid, key);
    return v.empty() ? -1 : std::stol(v);
}

int open_fds(pid_t pid)
{
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

long long bytes_read(pid_t pid)
{
    const std::string v = proc_line(pid, "io", "rchar");
    return v.empty() ? -1 : std::stoll(v);
}

std::string find_program(const std::string& name)
{
    const char* path = std::getenv("PATH");
    const std::string dirs = std::string(path ? path : "") + ":/usr/sbin:/sbin:/usr/local/sbin";
    for (std::size_t at = 0; at <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', at), dirs.size());
        const std::string candidate = dirs.substr(at, end - at) + "/" + name;
        if (end > at && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        at = end + 1;
    }
    return "";
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

temp_dir::temp_dir(const std::string& tag)
{
    const char* base = std::getenv("TMPDIR");
    path = std::string(base && *base ? base : "/tmp") + "/" + tag + "-XXXXXX";
    if (!mkdtemp(path.data()))
        path.clear();
}

temp_dir::~temp_dir()
{
    std::error_code ignored;
    if (!path.empty())
        std::filesystem::remove_all(path, ignored);
}

}  // namespace harness
