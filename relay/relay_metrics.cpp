// What the relay has done, as the SIGUSR1 line and as the metrics file
// (Prometheus' text format, for node_exporter's textfile collector).
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "relay/relay.h"

std::string counters_line(const relay_counters& c, const relay_gauges& g)
{
    char line[640];
    std::snprintf(line, sizeof line,
                  "counters: received=%" PRIu64 " relayed=%" PRIu64 " malformed=%" PRIu64
                  " unlisted=%" PRIu64 " viewers=%d refused=%" PRIu64 " missed=%" PRIu64
                  " unstreamed=%" PRIu64 " framed_viewers=%d templates=%zu replayed=%" PRIu64,
                  c.received, c.relayed, c.malformed, c.unlisted, g.viewers, c.refused, c.missed,
                  c.unstreamed, g.framed_viewers, g.templates, c.replayed);
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
    add_family(s, "nelkd_templates", "gauge",
               "NetFlow v9 and IPFIX templates held for viewers that connect to the framed "
               "stream.");
    add_sample(s, "nelkd_templates", "", g.templates);
    add_family(s, "nelkd_template_frames_replayed_total", "counter",
               "Frames of held templates handed whole to viewers as they connected.");
    add_sample(s, "nelkd_template_frames_replayed_total", "", c.replayed);
    return s;
}

bool open_metrics(const std::string& path, metrics_file* m)
{
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    m->path = path;
    m->name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (m->name.empty() || m->name == "." || m->name == "..") {
        errno = EISDIR;
        return false;
    }
    m->dir.reset(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return static_cast<bool>(m->dir);
}

namespace {

// A name nobody else can guess, so nobody can plant anything there: a dot
// first and no .prom at the end, so the textfile collector skips it.
std::string temp_name(const std::string& name)
{
    std::uint64_t r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        r ^= static_cast<std::uint64_t>(t.tv_nsec) * 0x9e3779b97f4a7c15u ^
             static_cast<std::uint64_t>(getpid());
    }
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%016" PRIx64 ".tmp", r);
    return "." + name + suffix;
}

bool write_all(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool write_metrics(const metrics_file& m, const relay_counters& c, const relay_gauges& g)
{
    const std::string text = metrics_text(c, g);
    std::string temp;
    unique_fd fd;
    // Created here and now, never followed through a link, never waited on.
    for (int attempt = 0; attempt < 8 && !fd; ++attempt) {
        temp = temp_name(m.name);
        fd.reset(openat(m.dir.get(), temp.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
        if (!fd && errno != EEXIST)
            return false;
    }
    if (!fd)
        return false;
    struct stat st{};
    bool ok = fstat(fd.get(), &st) == 0;
    if (ok && (!S_ISREG(st.st_mode) || st.st_nlink != 1)) {
        errno = EINVAL;
        ok = false;
    }
    ok = ok && fchmod(fd.get(), 0644) == 0 && write_all(fd.get(), text) &&
         close(fd.release()) == 0 && renameat(m.dir.get(), temp.c_str(), m.dir.get(), m.name.c_str()) == 0;
    if (!ok) {
        const int e = errno;
        unlinkat(m.dir.get(), temp.c_str(), 0);
        errno = e;
    }
    return ok;
}

void remove_metrics(const metrics_file& m)
{
    if (m.dir)
        unlinkat(m.dir.get(), m.name.c_str(), 0);
}
