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
        status = load_asn_file(file_path.c_str());
    }
    fuzz::check(status == 0 || status == 1, "load result neither 0 nor 1");

    // Every entry is one word of at most 111 characters, or none. (A NUL
    // byte in the file is a character to the scan, so a name may be empty.)
    const char* unknown = asn_name(-1);
    fuzz::check(std::strcmp(unknown, "<unknown>") == 0, "AS -1 has a name");
    fuzz::check(std::strcmp(asn_name(asn_count), "<unknown>") == 0, "AS 65536 has a name");
    for (int number = 0; number < asn_count; ++number) {
        const char* name = asn_name(number);
        if (name == unknown)
            continue;
        const std::size_t len = std::strlen(name);
        fuzz::check(len <= name_max, "name longer than a name is kept");
        for (std::size_t i = 0; i < len; ++i)
            fuzz::check(!std::isspace(static_cast<unsigned char>(name[i])),
                        "name with white space");
    }
    return 0;
}
