// Loopback addresses and free ports, for the tests and benchmarks that
// start nelkd and nelk on this machine.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "common/unique_fd.h"

// 127.0.0.1 at port.
inline sockaddr_in loopback(int port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<std::uint16_t>(port));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sin;
}

// A port of 127.0.0.1 that no socket of type (SOCK_STREAM or SOCK_DGRAM)
// holds at this moment, or -1.
inline int free_port(int type)
{
    unique_fd fd(socket(AF_INET, type, 0));
    if (!fd)
        return -1;
    sockaddr_in sin = loopback(0);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin) < 0)
        return -1;
    socklen_t len = sizeof sin;
    if (getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sin), &len) < 0)
        return -1;
    return ntohs(sin.sin_port);
}
