#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "common/nf5.h"

namespace e2e {

std::string bin(const std::string& name)
{
    return std::string(NELK_BIN_DIR) + "/" + name;
}

process start_nelkd(int udpport, int tcpport, const std::vector<std::string>& extra,
                    const spawn_options& opts)
{
    std::vector<std::string> argv = {bin("nelkd"), "-d", "-u", std::to_string(udpport), "-t",
                                     std::to_string(tcpport)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    process p = spawn(argv, opts);
    wait_output(p, "Listening on UDP port", milliseconds(5000));
    return p;
}

std::vector<std::uint8_t> v5_datagram(std::uint32_t sequence, unsigned records)
{
    std::vector<std::uint8_t> d(nf5_header_size + records * nf5_record_size);
    nf5_header h{};
    h.version = nf5_version;
    h.count = static_cast<std::uint16_t>(records);
    h.unix_secs = 1700000000;
    h.flow_sequence = sequence;
    encode_nf5_header(d.data(), h);
    for (unsigned i = 0; i < records; ++i) {
        std::uint8_t* r = d.data() + nf5_header_size + i * nf5_record_size;
        for (std::size_t b = 0; b < nf5_record_size; ++b)
            r[b] = static_cast<std::uint8_t>(sequence * 131 + i * 7 + b);
    }
    return d;
}

std::vector<std::uint8_t> flow_message(std::uint16_t version, std::uint32_t sequence)
{
    const bool ipfix = version == 10;
    const std::size_t head = ipfix ? 16 : 20;
    // Header, a template set of one two-field template (id 256), a data set
    // of two 8-byte records.
    std::vector<std::uint8_t> d(head + 16 + 20);
    std::uint8_t* p = d.data();
    store_be16(p, version);
    if (ipfix) {
        store_be16(p + 2, static_cast<std::uint16_t>(d.size()));
        store_be32(p + 4, 1700000000);
        store_be32(p + 8, sequence);
        store_be32(p + 12, 7);
    } else {
        store_be16(p + 2, 3);
        store_be32(p + 4, 1000);
        store_be32(p + 8, 1700000000);
        store_be32(p + 12, sequence);
        store_be32(p + 16, 7);
    }
    p += head;
    const std::uint16_t words[] = {static_cast<std::uint16_t>(ipfix ? 2 : 0), 16, 256, 2, 8, 4,
                                   12, 4, 256, 20};
    for (std::uint16_t w : words) {
        store_be16(p, w);
        p += 2;
    }
    for (std::uint32_t i = 0; i < 4; ++i, p += 4)
        store_be32(p, sequence * 4 + i);
    return d;
}

std::vector<std::uint8_t> frame_of(const std::vector<std::uint8_t>& datagram, std::uint8_t last)
{
    std::vector<std::uint8_t> f(4 + datagram.size());
    f[0] = 127;
    f[3] = last;
    std::copy(datagram.begin(), datagram.end(), f.begin() + 4);
    return f;
}

framed_frame read_framed(int fd, milliseconds timeout)
{
    framed_frame f;
    std::uint8_t head[framed_head_size];
    if (!read_exact(fd, head, timeout))
        return f;
    f.head = decode_framed_head(head);
    if (f.head.length < framed_head_size || f.head.length > framed_max_frame)
        return f;
    f.datagram.resize(f.head.length - framed_head_size);
    f.ok = read_exact(fd, f.datagram, timeout);
    return f;
}

fake_clock::fake_clock(std::time_t start)
{
    std::ofstream{path};
    set(start);
}

void fake_clock::set(std::time_t t) const
{
    const timespec times[2] = {{t, 0}, {t, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::vector<std::string> fake_clock::env() const
{
    // An ASan build wants its runtime first; the stand-in clock comes first.
    const char* asan = std::getenv("ASAN_OPTIONS");
    return {std::string("LD_PRELOAD=") + NELK_FAKE_CLOCK, "NELK_FAKE_TIME=" + path, "TZ=UTC",
            std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") +
                "verify_asan_link_order=0"};
}

std::string missing_programs(const std::vector<std::string>& names)
{
    for (const std::string& name : names)
        if (find_program(name).empty())
            return name + " is needed (tools/install-test-deps installs it)";
    return "";
}

}  // namespace e2e
