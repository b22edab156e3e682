// Where the relay's messages go: stderr and stdout while it runs in the
// foreground, syslog once it has detached from the terminal.
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "relay/relay.h"

int debug_mode = 0;
int use_syslog = 0;

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
        std::perror(msg);
}

void fatal_error(const char* msg)
{
    report_error(msg);
    std::exit(1);
}

void report_client_gone(int fd, int slot)
{
    if (debug_mode) {
        std::printf("client %d/%d seems to have gone away.\n", fd, slot);
    } else {
        char msg_buf[4096];
        std::snprintf(msg_buf, sizeof msg_buf, "client %d/%d seems to have gone away.\n", fd,
                      slot);
        syslog(LOG_INFO, "%s", msg_buf);
    }
}

void report_rejected(const char* text)
{
    syslog(LOG_ERR, "%s", text);
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
}
