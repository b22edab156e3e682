// Pseudo-terminal viewer and scripted relay for the end-to-end tests.
#include "tests/e2e/pty_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "common/nf5.h"

namespace e2e {

namespace {

using clock = std::chrono::steady_clock;

int remaining_ms(clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<milliseconds>(deadline - clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads what is waiting on the master, waiting at most timeout_ms for it.
bool read_master(pty_viewer& v, int timeout_ms)
{
    pollfd p{v.master.get(), POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1)
        return false;
    char buf[4096];
    ssize_t n = ::read(v.master.get(), buf, sizeof buf);
    if (n <= 0)
        return false;
    v.screen.append(buf, static_cast<std::size_t>(n));
    return true;
}

}  // namespace

pty_viewer::~pty_viewer()
{
    if (proc.running())
        ::kill(proc.pid, SIGKILL);
}

bool pty_viewer::wait_screen(std::string_view text, milliseconds timeout)
{
    const auto deadline = clock::now() + timeout;
    while (screen.find(text) == std::string::npos) {
        const int left = remaining_ms(deadline);
        if (left == 0)
            return false;
        read_master(*this, left);
    }
    return true;
}

void pty_viewer::drain(milliseconds time)
{
    const auto deadline = clock::now() + time;
    while (remaining_ms(deadline) > 0)
        read_master(*this, remaining_ms(deadline));
}

void pty_viewer::type(std::string_view keys)
{
    if (::write(master.get(), keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
        std::perror("pty write");
}

termios pty_viewer::settings() const
{
    termios t{};
    ::tcgetattr(slave.get(), &t);
    return t;
}

bool pty_viewer::wait_key_mode(milliseconds timeout)
{
    const auto deadline = clock::now() + timeout;
    while ((settings().c_lflag & ECHO) != 0) {
        if (remaining_ms(deadline) == 0)
            return false;
        read_master(*this, 10);
    }
    return true;
}

bool pty_viewer::wait_exit(milliseconds timeout)
{
    const auto deadline = clock::now() + timeout;
    while (proc.running()) {
        if (remaining_ms(deadline) == 0)
            return false;
        read_master(*this, 10);
    }
    // The slave is still open here, so the last output stays readable.
    while (read_master(*this, 50)) {
    }
    return true;
}

pty_viewer spawn_viewer(const std::vector<std::string>& args, int stdout_fd,
                        const std::vector<std::string>& env, const std::string& program)
{
    pty_viewer v;
    int m = -1, s = -1;
    winsize ws{};
    ws.ws_row = 24;
    ws.ws_col = 80;
    if (::openpty(&m, &s, nullptr, nullptr, &ws) != 0) {
        std::perror("openpty");
        return v;
    }
    v.master.reset(m);
    v.slave.reset(s);
    ::tcgetattr(s, &v.initial);
    std::vector<std::string> argv = {program.empty() ? bin("nelk") : program};
    argv.insert(argv.end(), args.begin(), args.end());
    spawn_options opts;
    opts.terminal = s;
    opts.stdout_fd = stdout_fd;
    opts.env = env;
    opts.no_core = true;
    v.proc = spawn(argv, opts);
    v.pid = v.proc.pid;
    return v;
}

fake_relay open_fake_relay()
{
    fake_relay r;
    r.listener = tcp_listener(&r.port);
    return r;
}

bool fake_relay::accept_viewer(milliseconds timeout)
{
    pollfd p{listener.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1)
        return false;
    stream.reset(::accept(listener.get(), nullptr, nullptr));
    return static_cast<bool>(stream);
}

bool fake_relay::send(const std::vector<std::uint8_t>& bytes)
{
    return send_all(stream.get(), bytes);
}

std::string relay_arg(int port)
{
    return "127.0.0.1:" + std::to_string(port);
}

namespace {

std::vector<std::uint8_t> build_frame(const char* router, const std::vector<flow_fields>& flows,
                                      int count, std::uint16_t version,
                                      const header_fields& head)
{
    std::vector<std::uint8_t> out(relay_frame_head_size + flows.size() * nf5_record_size);
    store_net32(out.data(), inet_addr(router));
    nf5_header h{};
    h.version = version;
    h.count = static_cast<std::uint16_t>(count >= 0 ? count : static_cast<int>(flows.size()));
    h.flow_sequence = head.flow_sequence;
    h.engine_type = head.engine_type;
    h.engine_id = head.engine_id;
    encode_nf5_header(out.data() + relay_addr_size, h);
    store_be16(out.data() + relay_addr_size + 22, head.sampling_interval);
    for (std::size_t i = 0; i < flows.size(); ++i) {
        const flow_fields& f = flows[i];
        nf5_record r{};
        r.srcaddr = inet_addr(f.src);
        r.dstaddr = inet_addr(f.dst);
        r.input = f.input;
        r.output = f.output;
        r.srcport = f.srcport;
        r.dstport = f.dstport;
        r.dOctets = f.bytes;
        r.dPkts = f.packets;
        r.prot = f.prot;
        r.src_as = f.src_as;
        r.dst_as = f.dst_as;
        encode_nf5_record(out.data() + relay_frame_head_size + i * nf5_record_size, r);
    }
    return out;
}

}  // namespace

std::vector<std::uint8_t> relay_frame(const char* router, const std::vector<flow_fields>& flows,
                                      int count, std::uint16_t version)
{
    return build_frame(router, flows, count, version, {});
}

std::vector<std::uint8_t> relay_frame(const char* router, const std::vector<flow_fields>& flows,
                                      const header_fields& head)
{
    return build_frame(router, flows, -1, nf5_version, head);
}

std::string colondump_line(double n, const char* router, const flow_fields& f)
{
    char line[256];
    std::snprintf(line, sizeof line, "%.0f:%s:%d:%s:%d:", n, router, f.input, f.src, f.srcport);
    std::string s = line;
    std::snprintf(line, sizeof line, "%d:%s:%d:%u:%d:%d:%d:%d\n", f.output, f.dst, f.dstport,
                  f.bytes, static_cast<int>(f.packets), f.prot, f.src_as, f.dst_as);
    return s + line;
}

}  // namespace e2e
