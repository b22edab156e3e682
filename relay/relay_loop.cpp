// The relay loop: datagrams in, frames out to every viewer that can take
// them, new viewers into the client table, whatever viewers send thrown away.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "common/export_checks.h"
#include "common/framed_stream.h"
#include "common/nf5.h"
#include "relay/relay.h"

namespace {

// Accepting stops this long when the system runs out of descriptors or
// buffers, rather than spinning on a listening socket that stays readable.
constexpr long accept_pause_ms = 250;

// A burst of viewers connecting at once must not outrun the short listen
// queue, where the kernel would drop them; each pass takes up to this many.
constexpr int accepts_per_pass = 64;

// How often the metrics file is written and vanished viewers are looked for.
constexpr long tick_ms = 10000;

// A storm of SIGUSR1 gets at most one counters line and metrics write in
// this time; the last request is still answered.
constexpr long counters_pause_ms = 1000;

volatile sig_atomic_t counters_wanted = 0;
volatile sig_atomic_t stop_signal = 0;

// The viewers of one stream: the relay stream (-t) or the framed one (-F).
struct client_table {
    bool framed = false;
    // One slot per viewer: 0 when free, else the connection's descriptor.
    std::array<int, relay_max_clients> l_clients{};
    std::array<pending_frame, relay_max_clients> pending{};
    std::array<net_address, relay_max_clients> peer{};
    std::array<std::size_t, relay_max_clients> heard{};  // bytes the viewer sent
    int viewers = 0;
    // This batch's frames for this stream.
    std::array<iovec, relay_batch> frame_iov{};
    std::size_t frames = 0;
};

struct relay_state {
    std::vector<int> udp_fds;
    std::vector<int> listen_fds;
    std::vector<int> framed_fds;
    const relay_settings* set = nullptr;

    metrics_file* metrics = nullptr;

    client_table relay;
    client_table framed;
    relay_counters counters;

    // With a framed stream: the templates for viewers that connect, and
    // what the last of them was owed (shared while the templates stay).
    std::optional<template_cache> templates;
    std::vector<template_record> found;
    std::shared_ptr<const replay_snapshot> snapshot;
    std::uint64_t snapshot_generation = 0;

    // Every datagram of a batch lands behind room for a framed head, whose
    // last four bytes are, for an IPv4 exporter, the relay frame's
    // router address: both streams' frames lie in one piece in one buffer.
    std::array<std::array<unsigned char, framed_max_frame>, relay_batch> frame_buf;
    std::array<sockaddr_storage, relay_batch> from{};
    std::array<iovec, relay_batch> recv_iov{};
    std::array<mmsghdr, relay_batch> msgs{};

    std::array<char, 4096> msg_buf;

    bool accept_paused = false;
    long accept_resume = 0;
    long next_tick = 0;
    long next_counters = 0;
    bool metrics_failing = false;
};

bool transient(int e)
{
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

void drop_client(client_table& t, int slot)
{
    close(t.l_clients[slot]);
    t.l_clients[slot] = 0;
    t.pending[slot] = pending_frame{};
    t.heard[slot] = 0;
    --t.viewers;
}

void client_gone(client_table& t, int slot)
{
    report_client_gone(t.l_clients[slot], slot);
    drop_client(t, slot);
}

std::uint64_t realtime_ns()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(t.tv_nsec);
}

// Takes every datagram already waiting, up to one batch, and sorts them
// into the streams: from an allowed exporter, the relay stream takes
// whole NetFlow v5 exports from IPv4 exporters (every datagram under -r),
// the framed stream every datagram that passes the structure checks, of
// any version and family.
void receive_batch(relay_state& st, int udp_fd)
{
    for (std::size_t i = 0; i < relay_batch; ++i) {
        st.recv_iov[i] = {st.frame_buf[i].data() + framed_head_size, framed_max_datagram};
        msghdr& h = st.msgs[i].msg_hdr;
        h = msghdr{};
        h.msg_name = &st.from[i];
        h.msg_namelen = sizeof st.from[i];
        h.msg_iov = &st.recv_iov[i];
        h.msg_iovlen = 1;
    }
    int n;
    do
        n = recvmmsg(udp_fd, st.msgs.data(), relay_batch, MSG_DONTWAIT, nullptr);
    while (n < 0 && errno == EINTR);
    st.relay.frames = st.framed.frames = 0;
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        fatal_error("recvfrom error");
    }
    const relay_settings& set = *st.set;
    const bool framing = !st.framed_fds.empty();
    const std::uint64_t now_ns = framing ? realtime_ns() : 0;
    const long now_ms = framing ? monotonic_ms() : 0;
    st.counters.received += static_cast<std::uint64_t>(n);
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
        unsigned char* frame = st.frame_buf[i].data();
        const unsigned char* d = frame + framed_head_size;
        const std::size_t len = st.msgs[i].msg_len;
        const export_kind kind = len < 2 ? kind_other : kind_of_version(load_be16(d));
        ++st.counters.received_by[kind];
        std::uint16_t port = 0;
        const net_address exporter = from_sockaddr(st.from[i], &port);
        if (!set.exporters.empty() && !in_prefixes(set.exporters, exporter)) {
            ++st.counters.unlisted;
            continue;
        }
        // v5 is judged on the bytes the relay stream has room for.
        checked_export c;
        if (kind == kind_v5)
            c.length = whole_export_size(d, std::min(len, relay_max_datagram));
        else
            c = check_export(d, len, framing ? &st.found : nullptr);
        const std::size_t checked = c.length;
        // Under -r even an empty datagram is a frame (of the address alone).
        const bool to_relay =
            exporter.is_v4() && (set.unchecked || (kind == kind_v5 && checked > 0));
        const std::size_t relay_len = set.unchecked ? std::min(len, relay_max_datagram) : checked;
        const bool to_framed = framing && checked > 0;
        if (!to_relay && !to_framed) {
            if (checked == 0) {
                ++st.counters.malformed;
                ++st.counters.malformed_by[kind];
            } else {
                ++st.counters.unstreamed;
            }
            continue;
        }
        ++st.counters.relayed;
        ++st.counters.relayed_by[kind];
        if (to_framed) {
            if (kind != kind_v5)
                st.templates->learn(exporter, port, d, c, st.found, now_ms, now_ns);
            framed_head h;
            h.length = static_cast<std::uint32_t>(framed_head_size + checked);
            h.kind = framed_live;
            h.family = exporter.is_v4() ? 4 : 6;
            h.port = port;
            h.time_ns = now_ns;
            h.exporter = exporter;
            encode_framed_head(frame, h);
            st.framed.frame_iov[st.framed.frames++] = {frame, framed_head_size + checked};
        }
        if (to_relay) {
            unsigned char* f = frame + framed_head_size - relay_addr_size;
            store_net32(f, exporter.v4_net());
            st.relay.frame_iov[st.relay.frames++] = {f, relay_addr_size + relay_len};
        }
    }
}

// A framed viewer that has taken all it was owed as it connected has had
// the held templates replayed.
void settle(relay_state& st, pending_frame& p)
{
    if (p.replay_frames > 0 && !p.shared) {
        st.counters.replayed += p.replay_frames;
        p.replay_frames = 0;
    }
}

// What a framed viewer is owed as it connects: the greeting, then every
// template held, before any live frame. Built again only when the
// templates changed since the last viewer came.
std::shared_ptr<const replay_snapshot> replay_for_new_viewer(relay_state& st)
{
    template_cache& cache = *st.templates;
    cache.expire(monotonic_ms());
    if (!st.snapshot || st.snapshot_generation != cache.generation()) {
        auto snap = std::make_shared<replay_snapshot>();
        snap->bytes.assign(framed_greeting.begin(), framed_greeting.end());
        snap->frames = cache.replay(snap->bytes);
        st.snapshot = std::move(snap);
        st.snapshot_generation = cache.generation();
    }
    return st.snapshot;
}

void relay_batch_to_clients(relay_state& st, client_table& t)
{
    if (t.viewers == 0 || t.frames == 0)
        return;
    fd_set wset;
    FD_ZERO(&wset);
    int maxfd = -1;
    for (int fd : t.l_clients) {
        if (fd > 0) {
            FD_SET(fd, &wset);
            maxfd = std::max(maxfd, fd);
        }
    }
    int r;
    do {
        timeval zero{0, 0};
        r = select(maxfd + 1, nullptr, &wset, nullptr, &zero);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        fatal_error("select (write) error");
    const std::span<const iovec> batch(t.frame_iov.data(), t.frames);
    for (int slot = 0; slot < relay_max_clients; ++slot) {
        int fd = t.l_clients[slot];
        if (fd <= 0)
            continue;
        std::size_t started = 0;
        send_result res = FD_ISSET(fd, &wset) ? send_frames(fd, t.pending[slot], batch, &started)
                                              : send_result::no_room;
        if (res == send_result::gone) {
            client_gone(t, slot);
        } else {
            st.counters.missed += t.frames - started;
            settle(st, t.pending[slot]);
        }
    }
}

// The rest of a cut frame goes out as soon as the viewer can take it, not
// only with the next datagram, which may be minutes away.
void pay_debts(relay_state& st, client_table& t, const fd_set& wset)
{
    for (int slot = 0; slot < relay_max_clients; ++slot) {
        int fd = t.l_clients[slot];
        if (fd <= 0 || t.pending[slot].owed() == 0 || !FD_ISSET(fd, &wset))
            continue;
        if (send_frames(fd, t.pending[slot], {}) == send_result::gone)
            client_gone(t, slot);
        else
            settle(st, t.pending[slot]);
    }
}

void reject(relay_state& st, int fd, const char* format, int value)
{
    std::snprintf(st.msg_buf.data(), st.msg_buf.size(), format, value);
    report_rejected(st.msg_buf.data());
    close(fd);
    ++st.counters.refused;
}

// Closes a connection that -a or -m does not let in, before any frame.
void refuse(relay_state& st, int fd, const net_address& addr, const char* why)
{
    std::snprintf(st.msg_buf.data(), st.msg_buf.size(), "Connection from %s refused: %s.\n",
                  address_text(addr).c_str(), why);
    close(fd);
    ++st.counters.refused;
    report_viewer_event(LOG_NOTICE, st.msg_buf.data());
}

int viewers_from(const client_table& t, const net_address& addr)
{
    int n = 0;
    for (int slot = 0; slot < relay_max_clients; ++slot)
        n += t.l_clients[slot] > 0 && t.peer[slot] == addr;
    return n;
}

// Takes one waiting connection. Returns false when there is none left to
// take in this pass (none waiting, or accepting is paused).
bool accept_client(relay_state& st, client_table& t, int listen_fd)
{
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return false;  // none waiting, or the viewer gave up before we got to it
        case EBADF:
        case EFAULT:
        case EINVAL:
        case ENOTSOCK:
            fatal_error("accept error");  // the listening socket itself is broken
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            report_accept_error();
            st.accept_paused = true;
            st.accept_resume = monotonic_ms() + accept_pause_ms;
            return false;
        default:
            report_accept_error();  // only this connection failed
            return true;
        }
    }
    const net_address addr = from_sockaddr(peer);
    const relay_settings& set = *st.set;
    if (!set.viewers.empty() && !in_prefixes(set.viewers, addr)) {
        refuse(st, fd, addr, "not an allowed viewer");
        return true;
    }
    // Slot value 0 means free, so a viewer cannot be kept on descriptor 0.
    if (fd == 0) {
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        if (moved < 0) {
            report_error("accept error");
            return true;
        }
        fd = moved;
    }
    if (fd >= FD_SETSIZE) {
        reject(st, fd, "Descriptor %d is beyond select's reach.  New client rejected.\n", fd);
        return true;
    }
    if (set.per_address > 0 && viewers_from(t, addr) >= set.per_address) {
        refuse(st, fd, addr, "too many viewers from that address");
        return true;
    }
    tune_client_socket(fd, set.bufsize);
    for (int slot = 0; slot < relay_max_clients; ++slot) {
        if (t.l_clients[slot] == 0) {
            if (debug_mode)
                debug_line("New client:  Assigning fd %d to l_clients[%d]\n", fd, slot);
            t.l_clients[slot] = fd;
            t.peer[slot] = addr;
            ++t.viewers;
            // A framed viewer is owed the greeting and the templates,
            // which go out before any live frame, as fast as it takes them.
            if (t.framed) {
                pending_frame& p = t.pending[slot];
                p.shared = replay_for_new_viewer(st);
                p.off = 0;
                p.len = p.shared->bytes.size();
                p.replay_frames = p.shared->frames;
                if (send_frames(fd, p, {}) == send_result::gone)
                    client_gone(t, slot);
                else
                    settle(st, p);
            }
            return true;
        }
    }
    reject(st, fd, " Alread talking to %d clients.  New client rejected.\n", relay_max_clients);
    return true;
}

// Reads and throws away what viewers send, noticing those that left. The
// readiness is that of the wait, and a slot may hold a connection accepted
// since, so the read never waits.
void read_clients(relay_state& st, client_table& t, const fd_set& rset)
{
    for (int slot = 0; slot < relay_max_clients; ++slot) {
        int fd = t.l_clients[slot];
        if (fd <= 0 || !FD_ISSET(fd, &rset))
            continue;
        ssize_t n = recv(fd, st.msg_buf.data(), st.msg_buf.size(), MSG_DONTWAIT);
        if (n > 0) {
            if (debug_mode)
                debug_line("read %zd bytes from client %d/%d\n", n, fd, slot);
            // Reading what a viewer sends costs the loop; a viewer has
            // nothing to say, so one that goes on is not one.
            t.heard[slot] += static_cast<std::size_t>(n);
            if (t.heard[slot] > relay_max_heard) {
                std::snprintf(st.msg_buf.data(), st.msg_buf.size(),
                              "client %d/%d sent more than %zu bytes: dropped.\n", fd, slot,
                              relay_max_heard);
                report_viewer_event(LOG_NOTICE, st.msg_buf.data());
                drop_client(t, slot);
            }
        } else if (n == 0) {
            if (debug_mode)
                debug_line("Closing connection %d/%d\n", fd, slot);
            drop_client(t, slot);
        } else if (!transient(errno)) {
            if (debug_mode)
                debug_line("client %d/%d died somehow.\n", fd, slot);
            drop_client(t, slot);
        }
    }
}

void update_metrics(relay_state& st);

relay_gauges gauges(relay_state& st)
{
    relay_gauges g;
    g.viewers = st.relay.viewers;
    g.framed_viewers = st.framed.viewers;
    if (st.templates) {
        st.templates->expire(monotonic_ms());
        g.templates = st.templates->size();
    }
    return g;
}

// SIGUSR1: the metrics file brought up to date, then the counters line
// (so that whoever sees the line finds the file as new).
void report_counters(relay_state& st)
{
    update_metrics(st);
    std::string line = counters_line(st.counters, gauges(st)) + "\n";
    report_info(line.c_str());
}

void update_metrics(relay_state& st)
{
    if (!st.metrics->dir)
        return;
    if (write_metrics(*st.metrics, st.counters, gauges(st))) {
        st.metrics_failing = false;
    } else if (!st.metrics_failing) {
        // Said once, not every ten seconds, until it works again.
        st.metrics_failing = true;
        report_error(("metrics file " + st.metrics->path).c_str());
    }
}

// Every ten seconds: the metrics file, and viewers that vanished without a
// word (a powered-off host, a cut link) give up their slots.
void tick(relay_state& st, long now)
{
    if (now < st.next_tick)
        return;
    st.next_tick = now + tick_ms;
    update_metrics(st);
    if (st.templates)
        st.templates->expire(now);
    for (client_table* t : {&st.relay, &st.framed})
        for (int slot = 0; slot < relay_max_clients; ++slot)
            if (t->l_clients[slot] > 0 && viewer_vanished(t->l_clients[slot]))
                client_gone(*t, slot);
}

// SIGTERM or SIGINT: a stopped relay leaves no metrics file that shows its
// last viewers for ever, then ends by the signal as it would have without
// a handler.
[[noreturn]] void stop_relay(relay_state& st)
{
    const int signo = stop_signal;
    remove_metrics(*st.metrics);
    flush_output();
    std::signal(signo, SIG_DFL);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, signo);
    sigprocmask(SIG_UNBLOCK, &just, nullptr);
    raise(signo);
    std::_Exit(128 + signo);
}

void add_fd(fd_set& set, int fd, int& maxfd)
{
    FD_SET(fd, &set);
    maxfd = std::max(maxfd, fd);
}

}  // namespace

void request_counters(int)
{
    counters_wanted = 1;
}

void request_stop(int signo)
{
    stop_signal = signo;
}

send_split split_sent(std::size_t owed, std::span<const iovec> frames, std::size_t sent)
{
    send_split sp;
    if (sent < owed) {
        sp.owed_left = owed - sent;
        return sp;
    }
    sent -= owed;
    for (const iovec& f : frames) {
        if (sent < f.iov_len) {
            sp.cut_sent = sent;
            break;
        }
        sent -= f.iov_len;
        ++sp.whole;
    }
    return sp;
}

// A viewer that takes part of a frame is owed the rest of it, which goes
// out before anything else; the frames after that one it misses.
send_result send_frames(int fd, pending_frame& p, std::span<const iovec> frames,
                        std::size_t* started)
{
    if (started)
        *started = 0;
    frames = frames.first(std::min(frames.size(), relay_batch));
    std::array<iovec, relay_batch + 1> iov;
    std::size_t iovcnt = 0;
    if (p.owed() > 0)
        iov[iovcnt++] = {const_cast<unsigned char*>(p.data()) + p.off, p.owed()};
    for (const iovec& f : frames)
        iov[iovcnt++] = f;

    msghdr h{};
    h.msg_iov = iov.data();
    h.msg_iovlen = iovcnt;
    ssize_t n = sendmsg(fd, &h, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && transient(errno))
        return send_result::no_room;
    if (n <= 0)
        return send_result::gone;

    send_split sp = split_sent(p.owed(), frames, static_cast<std::size_t>(n));
    if (started)
        *started = sp.whole + (sp.cut_sent > 0);
    if (sp.owed_left > 0) {
        p.off = p.len - sp.owed_left;
        return send_result::sent;
    }
    p.off = p.len = 0;
    p.shared.reset();
    if (sp.cut_sent == 0)
        return send_result::sent;
    const iovec& cut = frames[sp.whole];
    std::size_t rest = cut.iov_len - sp.cut_sent;
    if (p.cap < rest) {
        p.buf = std::make_unique_for_overwrite<unsigned char[]>(rest);
        p.cap = rest;
    }
    std::memcpy(p.buf.get(), static_cast<const unsigned char*>(cut.iov_base) + sp.cut_sent, rest);
    p.len = rest;
    return send_result::sent;
}

void relay_loop(relay_sockets& socks, metrics_file& metrics, const relay_settings& set)
{
    // Taken once; big enough that it stays out of the way of the stack.
    auto st = std::make_unique_for_overwrite<relay_state>();
    for (unique_fd& fd : socks.udp)
        st->udp_fds.push_back(fd.release());
    for (unique_fd& fd : socks.listen)
        st->listen_fds.push_back(fd.release());
    for (unique_fd& fd : socks.framed)
        st->framed_fds.push_back(fd.release());
    st->relay = client_table{};
    st->framed = client_table{};
    st->framed.framed = true;
    st->set = &set;
    st->metrics = &metrics;
    if (!st->framed_fds.empty()) {
        template_limits limits;
        limits.ttl_ms = set.template_ttl_s * 1000;
        st->templates.emplace(limits);
    }
    // Each pass accepts until the queue is empty, so the listening sockets
    // must say so instead of waiting. Accepted viewers stay blocking.
    // Each listener with the viewers it serves.
    std::vector<std::pair<int, client_table*>> listeners;
    for (int fd : st->listen_fds)
        listeners.emplace_back(fd, &st->relay);
    for (int fd : st->framed_fds)
        listeners.emplace_back(fd, &st->framed);
    for (auto [fd, table] : listeners) {
        const int listen_flags = fcntl(fd, F_GETFL);
        if (listen_flags < 0 || fcntl(fd, F_SETFL, listen_flags | O_NONBLOCK) < 0)
            fatal_error("listen error");
    }
    client_table* const tables[] = {&st->relay, &st->framed};

    // The signals are let in only while waiting, where they end the wait
    // (EINTR), so their flags are never missed. It costs no descriptor, and
    // the descriptors the relay may use stay as they were.
    sigset_t handled, waiting;
    sigemptyset(&handled);
    for (int sig : {SIGUSR1, SIGTERM, SIGINT})
        sigaddset(&handled, sig);
    sigprocmask(SIG_BLOCK, &handled, &waiting);
    for (int sig : {SIGUSR1, SIGTERM, SIGINT})
        sigdelset(&waiting, sig);

    st->next_tick = monotonic_ms() + tick_ms;
    update_metrics(*st);

    for (;;) {
        if (stop_signal)
            stop_relay(*st);
        long now = monotonic_ms();
        if (counters_wanted && now >= st->next_counters) {
            counters_wanted = 0;
            report_counters(*st);
            st->next_counters = now + counters_pause_ms;
        }
        tick(*st, now);
        report_suppressed(now);
        if (st->accept_paused && now >= st->accept_resume)
            st->accept_paused = false;

        // Wake for whatever comes first: the tick (only when it has work),
        // the end of an accept pause, a summary of held-back log lines.
        long due = -1;
        auto sooner = [&due](long t) {
            if (t >= 0 && (due < 0 || t < due))
                due = t;
        };
        if (st->relay.viewers > 0 || st->framed.viewers > 0 || !set.metrics_path.empty())
            sooner(st->next_tick);
        if (st->accept_paused)
            sooner(st->accept_resume);
        if (counters_wanted)
            sooner(st->next_counters);
        sooner(next_report_due());
        timespec pause{};
        if (due >= 0) {
            long ms = std::max(0L, due - now);
            pause.tv_sec = ms / 1000;
            pause.tv_nsec = (ms % 1000) * 1000000;
        }

        fd_set rset, wset;
        FD_ZERO(&rset);
        FD_ZERO(&wset);
        int maxfd = -1;
        for (int fd : st->udp_fds)
            add_fd(rset, fd, maxfd);
        if (!st->accept_paused)
            for (auto [fd, table] : listeners)
                add_fd(rset, fd, maxfd);
        bool owing = false;
        for (client_table* t : tables) {
            for (int slot = 0; slot < relay_max_clients; ++slot) {
                int fd = t->l_clients[slot];
                if (fd > 0) {
                    add_fd(rset, fd, maxfd);
                    // Only a viewer owed bytes is waited on for room.
                    if (t->pending[slot].owed() > 0) {
                        add_fd(wset, fd, maxfd);
                        owing = true;
                    }
                }
            }
        }
        for (int fd : {1, 2})
            if (output_waiting(fd))
                add_fd(wset, fd, maxfd);

        int r = pselect(maxfd + 1, &rset, &wset, nullptr, due >= 0 ? &pause : nullptr, &waiting);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            fatal_error("select (read) error");
        }
        flush_output();
        if (r == 0)
            continue;  // only a timer ran out

        if (owing)
            for (client_table* t : tables)
                pay_debts(*st, *t, wset);
        for (int fd : st->udp_fds) {
            if (FD_ISSET(fd, &rset)) {
                receive_batch(*st, fd);
                for (client_table* t : tables)
                    relay_batch_to_clients(*st, *t);
            }
        }
        for (auto [fd, table] : listeners) {
            if (st->accept_paused || !FD_ISSET(fd, &rset))
                continue;
            for (int i = 0; i < accepts_per_pass && accept_client(*st, *table, fd); ++i) {
            }
        }
        for (client_table* t : tables)
            read_clients(*st, *t, rset);
    }
}
