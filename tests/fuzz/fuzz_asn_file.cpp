// The AS name file loader fed arbitrary files: an operator's file may be
// hand-edited, truncated or not an AS name file at all.
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "tests/fuzz/quiet_output.h"
#include "viewer/asn_names.h"

namespace {

// The file lives in memory; the loader opens it by name like any other.
int file_fd = -1;
std::string file_path;
asn_table names;

constexpr int asn_count = 65536;
constexpr std::size_t name_max = 111;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::silence_stdout();
    file_fd = memfd_create("asnc.txt", MFD_CLOEXEC);
    if (file_fd < 0)
        fuzz::broken("memfd_create");
    file_path = "/proc/self/fd/" + std::to_string(file_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (ftruncate(file_fd, 0) != 0 ||
        pwrite(file_fd, data, size, 0) != static_cast<ssize_t>(size))
        fuzz::broken("writing the AS name file");

    int status;
    {
        fuzz::quiet_stderr quiet;
        status = load_asn_file(names, file_path.c_str());
    }
    fuzz::check(status == 0 || status == 1, "load result neither 0 nor 1");

    // Every name is one word of at most 111 characters with no control
    // byte in it. (A NUL byte in the file is a character to the scan, so a
    // name may be empty.) The names are walked where they are kept, which
    // costs what the file holds rather than a look-up of every AS number.
    fuzz::check(std::strcmp(asn_name(names, -1), "<unknown>") == 0, "AS -1 has a name");
    fuzz::check(std::strcmp(asn_name(names, asn_count), "<unknown>") == 0,
                "AS 65536 has a name");
    const char* p = names.text.data();
    const char* end = p + names.text.size();
    while (p < end) {
        const std::size_t len = strnlen(p, static_cast<std::size_t>(end - p));
        fuzz::check(p + len < end, "name without its terminating zero");
        fuzz::check(len <= name_max, "name longer than a name is kept");
        for (std::size_t i = 0; i < len; ++i) {
            const auto c = static_cast<unsigned char>(p[i]);
            fuzz::check(!std::isspace(c), "name with white space");
            fuzz::check(c >= 0x20 && (c < 0x7f || c > 0x9f), "name with a control byte");
        }
        p += len + 1;
    }
    return 0;
}
