// Where the relay's messages go: stderr and stdout while it runs in the
// foreground, syslog once it has detached from the terminal.
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cinttypes>
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
log_limiter viewer_log;

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

void report_suppressed(long now)
{
    if (unsigned long n = viewer_log.summary_due(now))
        syslog(LOG_WARNING,
               "%lu more messages about refused connections and dropped viewers suppressed\n", n);
}

long next_report_due()
{
    return viewer_log.next_summary();
}

std::string counters_line(const relay_counters& c, const relay_gauges& g)
{
    char line[512];
    std::snprintf(line, sizeof line,
                  "counters: received=%" PRIu64 " relayed=%" PRIu64 " malformed=%" PRIu64
                  " unlisted=%" PRIu64 " viewers=%d refused=%" PRIu64 " missed=%" PRIu64
                  " unstreamed=%" PRIu64 " framed_viewers=%d",
                  c.received, c.relayed, c.malformed, c.unlisted, g.viewers, c.refused, c.missed,
                  c.unstreamed, g.framed_viewers);
    return line;
}

namespace {

// One metric family: its HELP and TYPE lines, then its samples.
void add_family(std::string& s, const char* name, const char* type, const char* help)
{
    char line[512];
    std::snprintf(line, sizeof line, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
    s += line;
}

void add_sample(std::string& s, const char* name, const char* labels, std::uint64_t v)
{
    char line[256];
    if (*labels)
        std::snprintf(line, sizeof line, "%s{%s} %" PRIu64 "\n", name, labels, v);
    else
        std::snprintf(line, sizeof line, "%s %" PRIu64 "\n", name, v);
    s += line;
}

void add_by_version(std::string& s, const char* name, const char* help,
                    const std::array<std::uint64_t, kind_count>& by)
{
    add_family(s, name, "counter", help);
    for (int k = 0; k < kind_count; ++k) {
        char label[32];
        std::snprintf(label, sizeof label, "version=\"%s\"", export_kind_label[k]);
        add_sample(s, name, label, by[k]);
    }
}

}  // namespace

std::string metrics_text(const relay_counters& c, const relay_gauges& g)
{
    std::string s;
    add_family(s, "nelkd_datagrams_received_total", "counter",
               "Datagrams received on the UDP port.");
    add_sample(s, "nelkd_datagrams_received_total", "", c.received);
    add_family(s, "nelkd_datagrams_relayed_total", "counter", "Datagrams relayed to the viewers.");
    add_sample(s, "nelkd_datagrams_relayed_total", "", c.relayed);
    add_family(s, "nelkd_datagrams_dropped_total", "counter",
               "Datagrams not relayed: failing the structure checks, from an exporter not "
               "allowed, or carried by no stream.");
    add_sample(s, "nelkd_datagrams_dropped_total", "reason=\"malformed\"", c.malformed);
    add_sample(s, "nelkd_datagrams_dropped_total", "reason=\"unlisted\"", c.unlisted);
    add_sample(s, "nelkd_datagrams_dropped_total", "reason=\"unstreamed\"", c.unstreamed);
    add_family(s, "nelkd_viewers", "gauge", "Viewers connected now.");
    add_sample(s, "nelkd_viewers", "", static_cast<std::uint64_t>(g.viewers));
    add_family(s, "nelkd_connections_refused_total", "counter",
               "Viewer connections closed before any frame.");
    add_sample(s, "nelkd_connections_refused_total", "", c.refused);
    add_family(s, "nelkd_frames_missed_total", "counter",
               "Frames that viewers missed because they were not taking data.");
    add_sample(s, "nelkd_frames_missed_total", "", c.missed);
    add_by_version(s, "nelkd_version_datagrams_received_total",
                   "Datagrams received, by NetFlow version.", c.received_by);
    add_by_version(s, "nelkd_version_datagrams_relayed_total",
                   "Datagrams relayed into a stream, by NetFlow version.", c.relayed_by);
    add_by_version(s, "nelkd_version_datagrams_malformed_total",
                   "Datagrams that failed the structure checks, by NetFlow version.",
                   c.malformed_by);
    add_family(s, "nelkd_framed_viewers", "gauge", "Viewers of the framed stream connected now.");
    add_sample(s, "nelkd_framed_viewers", "", static_cast<std::uint64_t>(g.framed_viewers));
    return s;
}

bool write_metrics(const std::string& path, const relay_counters& c, const relay_gauges& g)
{
    std::string text = metrics_text(c, g);
    // Not ending in .prom, so the textfile collector skips it.
    std::string temp = path + ".tmp";
    unique_fd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd)
        return false;
    fchmod(fd.get(), 0644);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int e = errno;
            unlink(temp.c_str());
            errno = n < 0 ? e : ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (close(fd.release()) < 0 || rename(temp.c_str(), path.c_str()) < 0) {
        int e = errno;
        unlink(temp.c_str());
        errno = e;
        return false;
    }
    return true;
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

void report_client_gone(int fd, int slot)
{
    char msg_buf[4096];
    std::snprintf(msg_buf, sizeof msg_buf, "client %d/%d seems to have gone away.\n", fd, slot);
    report_viewer_event(LOG_INFO, msg_buf);
}


void print_usage(const char* prog)
{
    std::printf("Usage: %s [ -u <udpport> ] [ -t <tcpport> ]\n", prog);
    std::printf("  -u <udpport>  Listen on UDP port <udpport> for netflow packets.  Default %d\n",
                relay_default_port);
    std::printf("  -t <tcpport>  Listen on TCP port <tcpport> for client connections.  Default %d\n",
                relay_default_port);
    std::printf("  -s <bufsize>  Set tcp/udp buffer size.  Default %d\n", relay_default_bufsize);
    std::printf("  -d            Debug.  Don't become a daemon, displays all messages on stdout,\n");
    std::printf("                displays lots of extra information\n");
    std::printf("  -b <address>  Bind both ports to this local IPv4 address.  Default any\n");
    std::printf("  -e <prefixes> Relay datagrams only from these exporters (a.b.c.d/len,...)\n");
    std::printf("  -a <prefixes> Serve only viewers from these addresses (a.b.c.d/len,...)\n");
    std::printf("  -m <count>    Serve at most <count> viewers from one address\n");
    std::printf("  -r            Relay every datagram unchecked, not only whole NetFlow v5\n");
    std::printf("  -M <file>     Write counters to <file> every 10 s (Prometheus text format)\n");
    std::printf("  -F <tcpport>  Serve the framed stream (NetFlow v5, v9, IPFIX; IPv4 and IPv6)\n");
}
