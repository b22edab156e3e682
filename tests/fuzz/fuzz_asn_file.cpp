// The AS name file loader fed arbitrary files: an operator's file may be
// hand-edited, truncated or not an AS name file at all.
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "tests/fuzz/quiet_output.h"
#include "viewer/asn_names.h"

namespace {

// The file lives in memory; the loader opens it by name like any other.
int file_fd = -1;
std::string file_path;
asn_table names;

constexpr std::size_t name_max = 111;

// The file as fscanf reads it with the loader's format: the name each AS
// number ends with (the last line for it wins), and the load's result. The
// loader reads with a bounded reader of its own; this holds it to the
// scan's reading of every file.
int scanned_names(const char* path, std::map<long, std::string>& names)
{
    std::FILE* f = std::fopen(path, "r");
    if (!f)
        fuzz::broken("reopening the AS name file");
    int status = 0;
    for (;;) {
        long number = 0;
        char word[name_max + 1];
        int before = 0, after = 0;  // NUL bytes count towards the 111 kept
        const int got = std::fscanf(f, "%ld %n%111s%n", &number, &before, word, &after);
        if (got == EOF)
            break;
        if (got < 2) {
            status = 1;
            break;
        }
        if (after - before == static_cast<int>(name_max))
            for (int c; (c = std::getc(f)) != EOF;)
                if (std::isspace(c)) {
                    std::ungetc(c, f);
                    break;
                }
        std::string name(word);
        for (char& c : name) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x20 || (u >= 0x7f && u <= 0x9f))
                c = '?';
        }
        if (number >= 0 && number <= 4294967295)
            names[number] = name;
    }
    std::fclose(f);
    return status;
}

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

    std::map<long, std::string> want;
    fuzz::check(scanned_names(file_path.c_str(), want) == status,
                "load result differs from the scan's");
    std::size_t named = names.wide.size();
    for (long n = 0; n < 65536; ++n)
        named += names.at[n] != 0 ? 1 : 0;
    fuzz::check(named == want.size(), "not as many AS numbers named as the scan found");
    for (const auto& [number, name] : want)
        fuzz::check(name == asn_name(names, number), "a name differs from the scan's");

    // Every name is one word of at most 111 characters with no control
    // byte in it. (A NUL byte in the file is a character to the scan, so a
    // name may be empty.) The names are walked where they are kept, dead
    // ones included, and those are never more than the live ones and a
    // megabyte.
    fuzz::check(std::strcmp(asn_name(names, -1), "<unknown>") == 0, "AS -1 has a name");
    fuzz::check(std::strcmp(asn_name(names, 4294967296), "<unknown>") == 0,
                "AS 4294967296 has a name");
    fuzz::check(names.dead <= (1u << 20) || names.dead <= names.text.size() - names.dead,
                "dead names outweigh the live ones");
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
