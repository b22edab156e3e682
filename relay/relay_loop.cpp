// The relay loop: datagrams in, frames out to every viewer that can take
// them, new viewers into the client table, whatever viewers send thrown away.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/nf5.h"
#include "relay/relay.h"

namespace {

// Accepting stops this long when the system runs out of descriptors or
// buffers, rather than spinning on a listening socket that stays readable.
constexpr long accept_pause_ms = 250;

// A burst of viewers connecting at once must not outrun the short listen
// queue, where the kernel would drop them; each pass takes up to this many.
constexpr int accepts_per_pass = 64;

struct relay_state {
    int udp_fd = -1;
    int listen_fd = -1;
    int bufsize = relay_default_bufsize;

    // One slot per viewer: 0 when free, else the connection's descriptor.
    std::array<int, relay_max_clients> l_clients{};
    std::array<pending_frame, relay_max_clients> pending{};

    // Every datagram of a batch lands behind room for its router's address,
    // so that each frame lies in one piece.
    std::array<std::array<unsigned char, relay_max_frame>, relay_batch> frame_buf;
    std::size_t frames = 0;
    std::array<sockaddr_in, relay_batch> from{};
    std::array<iovec, relay_batch> recv_iov{};
    std::array<mmsghdr, relay_batch> msgs{};
    std::array<iovec, relay_batch> frame_iov{};

    std::array<char, 4096> msg_buf;

    bool accept_paused = false;
    timespec accept_resume{};
};

bool transient(int e)
{
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

timespec now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

long ms_until(const timespec& t)
{
    timespec n = now();
    return (t.tv_sec - n.tv_sec) * 1000 + (t.tv_nsec - n.tv_nsec) / 1000000;
}

void drop_client(relay_state& st, int slot)
{
    close(st.l_clients[slot]);
    st.l_clients[slot] = 0;
    st.pending[slot] = pending_frame{};
}

// Takes every datagram already waiting, up to one batch.
void receive_batch(relay_state& st)
{
    for (std::size_t i = 0; i < relay_batch; ++i) {
        st.recv_iov[i] = {st.frame_buf[i].data() + relay_addr_size, relay_max_datagram};
        msghdr& h = st.msgs[i].msg_hdr;
        h = msghdr{};
        h.msg_name = &st.from[i];
        h.msg_namelen = sizeof st.from[i];
        h.msg_iov = &st.recv_iov[i];
        h.msg_iovlen = 1;
    }
    int n;
    do
        n = recvmmsg(st.udp_fd, st.msgs.data(), relay_batch, MSG_DONTWAIT, nullptr);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            st.frames = 0;
            return;
        }
        fatal_error("recvfrom error");
    }
    st.frames = static_cast<std::size_t>(n);
    for (std::size_t i = 0; i < st.frames; ++i) {
        // A longer datagram was cut to the room there is.
        st.frame_iov[i] = {st.frame_buf[i].data(), relay_addr_size + st.msgs[i].msg_len};
        std::memcpy(st.frame_buf[i].data(), &st.from[i].sin_addr.s_addr, relay_addr_size);
    }
}

void relay_batch_to_clients(relay_state& st)
{
    fd_set wset;
    FD_ZERO(&wset);
    int maxfd = -1;
    for (int fd : st.l_clients) {
        if (fd > 0) {
            FD_SET(fd, &wset);
            if (fd > maxfd)
                maxfd = fd;
        }
    }
    if (maxfd < 0 || st.frames == 0)
        return;
    int r;
    do {
        timeval zero{0, 0};
        r = select(maxfd + 1, nullptr, &wset, nullptr, &zero);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        fatal_error("select (write) error");
    for (int slot = 0; slot < relay_max_clients; ++slot) {
        int fd = st.l_clients[slot];
        if (fd <= 0 || !FD_ISSET(fd, &wset))
            continue;
        if (send_frames(fd, st.pending[slot], std::span(st.frame_iov.data(), st.frames)) ==
            send_result::gone) {
            report_client_gone(fd, slot);
            drop_client(st, slot);
        }
    }
}

void reject(relay_state& st, int fd, const char* format, int value)
{
    std::snprintf(st.msg_buf.data(), st.msg_buf.size(), format, value);
    report_rejected(st.msg_buf.data());
    close(fd);
}

// Takes one waiting connection. Returns false when there is none left to
// take in this pass (none waiting, or accepting is paused).
bool accept_client(relay_state& st)
{
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = accept4(st.listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
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
            report_error("accept error");
            st.accept_paused = true;
            st.accept_resume = now();
            st.accept_resume.tv_nsec += accept_pause_ms * 1000000;
            st.accept_resume.tv_sec += st.accept_resume.tv_nsec / 1000000000;
            st.accept_resume.tv_nsec %= 1000000000;
            return false;
        default:
            report_error("accept error");  // only this connection failed
            return true;
        }
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
    tune_client_socket(fd, st.bufsize);
    for (int slot = 0; slot < relay_max_clients; ++slot) {
        if (st.l_clients[slot] == 0) {
            if (debug_mode)
                std::printf("New client:  Assigning fd %d to l_clients[%d]\n", fd, slot);
            st.l_clients[slot] = fd;
            return true;
        }
    }
    reject(st, fd, " Alread talking to %d clients.  New client rejected.\n", relay_max_clients);
    return true;
}

// Reads and throws away what viewers send, noticing those that left. The
// readiness is that of the wait, and a slot may hold a connection accepted
// since, so the read never waits.
void read_clients(relay_state& st, const fd_set& rset)
{
    for (int slot = 0; slot < relay_max_clients; ++slot) {
        int fd = st.l_clients[slot];
        if (fd <= 0 || !FD_ISSET(fd, &rset))
            continue;
        ssize_t n = recv(fd, st.msg_buf.data(), st.msg_buf.size(), MSG_DONTWAIT);
        if (n > 0) {
            if (debug_mode)
                std::printf("read %zd bytes from client %d/%d\n", n, fd, slot);
        } else if (n == 0) {
            if (debug_mode)
                std::printf("Closing connection %d/%d\n", fd, slot);
            drop_client(st, slot);
        } else if (!transient(errno)) {
            if (debug_mode)
                std::printf("client %d/%d died somehow.\n", fd, slot);
            drop_client(st, slot);
        }
    }
}

}  // namespace

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
send_result send_frames(int fd, pending_frame& p, std::span<const iovec> frames)
{
    frames = frames.first(std::min(frames.size(), relay_batch));
    std::array<iovec, relay_batch + 1> iov;
    std::size_t iovcnt = 0;
    if (p.owed() > 0)
        iov[iovcnt++] = {p.buf.get() + p.off, p.owed()};
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
    if (sp.owed_left > 0) {
        p.off = p.len - sp.owed_left;
        return send_result::sent;
    }
    p.off = p.len = 0;
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

void relay_loop(int udp_fd, int listen_fd, int bufsize)
{
    // Taken once; big enough that it stays out of the way of the stack.
    auto st = std::make_unique_for_overwrite<relay_state>();
    st->udp_fd = udp_fd;
    st->listen_fd = listen_fd;
    st->bufsize = bufsize;
    // Each pass accepts until the queue is empty, so the listening socket
    // must say so instead of waiting. Accepted viewers stay blocking.
    const int listen_flags = fcntl(listen_fd, F_GETFL);
    if (listen_flags < 0 || fcntl(listen_fd, F_SETFL, listen_flags | O_NONBLOCK) < 0)
        fatal_error("listen error");

    for (;;) {
        fd_set rset;
        FD_ZERO(&rset);
        FD_SET(udp_fd, &rset);
        int maxfd = udp_fd;
        timeval pause{};
        timeval* timeout = nullptr;
        if (st->accept_paused) {
            long ms = ms_until(st->accept_resume);
            if (ms <= 0) {
                st->accept_paused = false;
            } else {
                pause.tv_sec = ms / 1000;
                pause.tv_usec = (ms % 1000) * 1000;
                timeout = &pause;
            }
        }
        if (!st->accept_paused) {
            FD_SET(listen_fd, &rset);
            if (listen_fd > maxfd)
                maxfd = listen_fd;
        }
        for (int fd : st->l_clients) {
            if (fd > 0) {
                FD_SET(fd, &rset);
                if (fd > maxfd)
                    maxfd = fd;
            }
        }

        int r = select(maxfd + 1, &rset, nullptr, nullptr, timeout);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            fatal_error("select (read) error");
        }
        if (r == 0)
            continue;  // only the accept pause ended

        if (FD_ISSET(udp_fd, &rset)) {
            receive_batch(*st);
            relay_batch_to_clients(*st);
        }
        if (!st->accept_paused && FD_ISSET(listen_fd, &rset)) {
            for (int i = 0; i < accepts_per_pass && accept_client(*st); ++i) {
            }
        }
        read_clients(*st, rset);
    }
}
