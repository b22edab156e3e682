// Exports received straight from the routers (-u): no relay in between.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "viewer/flow_record.h"
#include "viewer/viewer.h"

// Datagrams taken per readable event, and the room for each: UDP's largest.
constexpr std::size_t udp_batch = 32;
constexpr std::size_t udp_datagram_max = 65536;

struct udp_receiver {
    std::unique_ptr<std::uint8_t[]> buffers =
        std::make_unique_for_overwrite<std::uint8_t[]>(udp_batch * udp_datagram_max);
    std::array<sockaddr_storage, udp_batch> from{};
    // Datagrams received but not yet handled: a closed interval's report
    // stops the handling of a batch, which goes on after it.
    std::size_t next = 0;
    std::size_t count = 0;
    std::array<std::size_t, udp_batch> length{};
    std::uint64_t received_ns = 0;
};

// The socket exports come to: the -u address and port, or the port on
// every address of both families. Ends the viewer when it cannot be had.
int open_export_socket(const flow_context& ctx);

// One readable event: receives what is waiting (a batch at most), then
// handle_datagrams.
input_outcome receive_exports(udp_receiver& rx, int fd, flow_context& ctx);

// Decodes the received datagrams not yet handled, each checked as the
// relay checks them; stops after one that closed an interval or reached
// the flow limit.
input_outcome handle_datagrams(udp_receiver& rx, flow_context& ctx);
