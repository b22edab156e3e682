// Where the relay's messages go: standard error and output while it runs
// in the foreground, syslog once it has detached from the terminal. Every
// message takes this road: the mode switches, the rate limits and the debug
// output that never stalls the relay live here and nowhere else.
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay/relay.h"

int debug_mode = 0;
int use_syslog = 0;

namespace {

// Output for standard output or error that is never waited on: what the
// descriptor cannot take yet stays here; what does not fit is dropped.
struct unblocked_output {
    int fd = -1;
    bool active = false;
    std::array<char, 65536> buf;
    std::size_t len = 0;
    unsigned long dropped = 0;

    void add(const char* text, std::size_t n)
    {
        if (n > buf.size() - len) {
            ++dropped;
            return;
        }
        std::memcpy(buf.data() + len, text, n);
        len += n;
    }

    void flush()
    {
        while (len > 0) {
            ssize_t n = write(fd, buf.data(), len);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (n <= 0) {
                // Nobody will ever read it (a closed pipe): stop keeping it.
                len = 0;
                return;
            }
            std::memmove(buf.data(), buf.data() + n, len - static_cast<std::size_t>(n));
            len -= static_cast<std::size_t>(n);
        }
        if (dropped > 0) {
            char note[128];
            int n = std::snprintf(note, sizeof note,
                                  "(%lu lines of output dropped: nobody was reading them)\n",
                                  dropped);
            dropped = 0;
            add(note, static_cast<std::size_t>(n));
            flush();
        }
    }
};

unblocked_output out_1, out_2;

// Refused connections and dropped viewers, which a connection storm could
// make by the thousand.
log_limiter viewer_log{20, 10000, "more messages about refused connections and dropped viewers"};
// Accept failures repeat as long as descriptors or memory stay short.
log_limiter accept_log{1, 10000, "more accept errors"};

// The description behind fd, opened anew without blocking, so that the
// shell or pipe we share it with is left as it was. Files never stall.
bool unblock(int fd)
{
    struct stat st{};
    if (fstat(fd, &st) < 0 || S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))
        return false;
    if (S_ISSOCK(st.st_mode))
        return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    int again = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (again < 0)
        return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
    dup2(again, fd);
    close(again);
    return true;
}

void vsay(unblocked_output& o, FILE* stream, const char* format, va_list ap)
{
    if (!o.active) {
        std::vfprintf(stream, format, ap);
        return;
    }
    char line[4096];
    int n = std::vsnprintf(line, sizeof line, format, ap);
    if (n < 0)
        return;
    o.add(line, std::min(static_cast<std::size_t>(n), sizeof line - 1));
    o.flush();
}

void say(unblocked_output& o, FILE* stream, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void say(unblocked_output& o, FILE* stream, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    vsay(o, stream, format, ap);
    va_end(ap);
}

// A line without a system error: standard error in the foreground, syslog
// at the priority given once detached.
void report_text(int priority, const char* text)
{
    if (use_syslog)
        syslog(priority, "%s", text);
    else
        say(out_2, stderr, "%s", text);
}

}  // namespace

void debug_line(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    vsay(out_1, stdout, format, ap);
    va_end(ap);
}

void start_unblocking_output()
{
    std::fflush(stdout);
    std::fflush(stderr);
    out_1.fd = 1;
    out_2.fd = 2;
    out_1.active = unblock(1);
    out_2.active = unblock(2);
}

bool output_waiting(int fd)
{
    const unblocked_output& o = fd == 1 ? out_1 : out_2;
    return o.active && o.len > 0;
}

void flush_output()
{
    for (unblocked_output* o : {&out_1, &out_2})
        if (o->active && o->len > 0)
            o->flush();
}

long monotonic_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool log_limiter::allow(long now)
{
    if (now - window_start >= window_ms && suppressed == 0) {
        window_start = now;
        used = 0;
    }
    if (used < burst) {
        ++used;
        return true;
    }
    ++suppressed;
    return false;
}

unsigned long log_limiter::summary_due(long now)
{
    if (suppressed == 0 || now - window_start < window_ms)
        return 0;
    unsigned long n = suppressed;
    suppressed = 0;
    window_start = now;
    used = 0;
    return n;
}

void report_viewer_event(int priority, const char* text)
{
    if (debug_mode)
        debug_line("%s", text);
    else if (viewer_log.allow(monotonic_ms()))
        syslog(priority, "%s", text);
}

void report_rejected(const char* text)
{
    if (viewer_log.allow(monotonic_ms()))
        syslog(LOG_ERR, "%s", text);
}

void report_accept_error()
{
    if (accept_log.allow(monotonic_ms()))
        report_error("accept error");
}

void report_suppressed(long now)
{
    char line[128];
    if (unsigned long n = viewer_log.summary_due(now)) {
        std::snprintf(line, sizeof line, "%lu %s suppressed\n", n, viewer_log.what);
        syslog(LOG_WARNING, "%s", line);
    }
    if (unsigned long n = accept_log.summary_due(now)) {
        std::snprintf(line, sizeof line, "%lu %s suppressed\n", n, accept_log.what);
        report_text(LOG_WARNING, line);
    }
}

long next_report_due()
{
    long a = viewer_log.next_summary(), b = accept_log.next_summary();
    return a < 0 ? b : b < 0 ? a : std::min(a, b);
}

void report_info(const char* text)
{
    if (debug_mode)
        debug_line("%s", text);
    else
        syslog(LOG_INFO, "%s", text);
}

void start_syslog()
{
    use_syslog = 1;
}

void report_warning(const char* text)
{
    report_text(LOG_WARNING, text);
}

void syslog_error(const char* msg)
{
    char buf[1024];
    std::snprintf(buf, sizeof buf, "%s: %s", msg, std::strerror(errno));
    syslog(LOG_ERR, "%s", buf);
}

void report_error(const char* msg)
{
    if (use_syslog)
        syslog_error(msg);
    else
        say(out_2, stderr, "%s: %s\n", msg, std::strerror(errno));
}

void fatal_error(const char* msg)
{
    report_error(msg);
    std::exit(1);
}

void refuse_start(bool with_errno, const char* format, ...)
{
    const int e = errno;
    char text[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if (with_errno)
        say(out_2, stderr, "%s: %s: %s\n", program_invocation_short_name, text, std::strerror(e));
    else
        say(out_2, stderr, "%s: %s\n", program_invocation_short_name, text);
    std::exit(1);
}

void report_client_gone(int fd, int slot)
{
    char msg_buf[4096];
    std::snprintf(msg_buf, sizeof msg_buf, "client %d/%d seems to have gone away.\n", fd, slot);
    report_viewer_event(LOG_INFO, msg_buf);
}
