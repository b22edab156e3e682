#include "viewer/udp_input.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "common/unique_fd.h"
#include "viewer/decode_export.h"
#include "viewer/exits.h"

namespace {

// A busy router sends in bursts; the kernel holds them while the viewer
// prints. The system caps this at net.core.rmem_max.
constexpr int receive_buffer = 4 << 20;

std::uint64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

// Binds fd to the address; false with errno set.
bool bind_to(int fd, const sockaddr_storage& ss, socklen_t len)
{
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&ss), len) == 0;
}

}  // namespace

int open_export_socket(const flow_context& ctx)
{
    const viewer_config& config = *ctx.config;
    const auto port = static_cast<std::uint16_t>(config.udp_port);
    sockaddr_storage ss{};
    if (config.udp_address) {
        const socklen_t len = to_sockaddr(*config.udp_address, port, &ss);
        unique_fd fd(::socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd)
            fail_socket(ctx);
        if (!bind_to(fd.get(), ss, len))
            fail_bind(ctx);
        return fd.release();
    }
    // Every address of both families on one socket; IPv4 exporters come as
    // mapped addresses, which the viewer takes as the IPv4 ones they are.
    unique_fd fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd) {
        const int off = 0;
        setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        auto& sin6 = reinterpret_cast<sockaddr_in6&>(ss);
        sin6.sin6_family = AF_INET6;
        sin6.sin6_port = htons(port);
        sin6.sin6_addr = in6addr_any;
        if (bind_to(fd.get(), ss, sizeof sin6))
            return fd.release();
        if (errno != EAFNOSUPPORT && errno != EADDRNOTAVAIL)
            fail_bind(ctx);
    }
    // A host without IPv6.
    fd.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        fail_socket(ctx);
    ss = sockaddr_storage{};
    auto& sin = reinterpret_cast<sockaddr_in&>(ss);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!bind_to(fd.get(), ss, sizeof sin))
        fail_bind(ctx);
    return fd.release();
}

input_outcome handle_datagrams(udp_receiver& rx, flow_context& ctx)
{
    input_outcome out;
    while (rx.next < rx.count) {
        const std::size_t i = rx.next++;
        datagram_info dg;
        dg.exporter = from_sockaddr(rx.from[i], &dg.port);
        dg.received_ns = rx.received_ns;
        decode_export(rx.buffers.get() + i * udp_datagram_max, rx.length[i], dg, false, ctx,
                      out);
        if (out.interval_closed || out.end != input_end::none)
            break;
    }
    return out;
}

input_outcome receive_exports(udp_receiver& rx, int fd, flow_context& ctx)
{
    if (rx.next < rx.count)
        return handle_datagrams(rx, ctx);
    std::array<mmsghdr, udp_batch> msgs{};
    std::array<iovec, udp_batch> iov{};
    for (std::size_t i = 0; i < udp_batch; ++i) {
        iov[i] = {rx.buffers.get() + i * udp_datagram_max, udp_datagram_max};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &rx.from[i];
        msgs[i].msg_hdr.msg_namelen = sizeof rx.from[i];
    }
    const int n = ::recvmmsg(fd, msgs.data(), udp_batch, MSG_DONTWAIT, nullptr);
    rx.next = rx.count = 0;
    if (n <= 0)
        return {};  // nothing after all, or an error the next wait shows again
    rx.received_ns = now_ns();
    for (int i = 0; i < n; ++i) {
        // A datagram cut to the buffer is not the whole export: the checks
        // refuse what is cut, so it goes as malformed.
        rx.length[static_cast<std::size_t>(i)] =
            msgs[static_cast<std::size_t>(i)].msg_hdr.msg_flags & MSG_TRUNC
                ? 0
                : msgs[static_cast<std::size_t>(i)].msg_len;
    }
    rx.count = static_cast<std::size_t>(n);
    return handle_datagrams(rx, ctx);
}
