#include "viewer/asn_names.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr int asn_count = 65536;
// Longest name kept; a longer one is cut to this many characters.
constexpr int asn_name_max = 111;

using name_block = std::unique_ptr<char[]>;

// One entry per 16-bit AS number; an empty block means no name.
std::unique_ptr<name_block[]> asn_table;

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Reports a failed call on standard error after what is already printed.
void report_error(const char* what)
{
    std::fflush(stdout);
    std::perror(what);
}

// Passes over the rest of a name too long to keep.
void skip_word(std::FILE* f)
{
    int c;
    while ((c = std::getc(f)) != EOF && !std::isspace(c)) {
    }
    if (c != EOF)
        std::ungetc(c, f);
}

}  // namespace

int Init_ASN_Lookups()
{
    return load_asn_file(NELK_ASN_FILE);
}

int load_asn_file(const char* path)
{
    asn_table.reset(new (std::nothrow) name_block[asn_count]());
    if (!asn_table) {
        report_error("out of memory");
        return 1;
    }

    file_ptr file(std::fopen(path, "r"));
    if (!file) {
        report_error("fopen");
        return 1;
    }

    // The number is read as a long so that a huge one in the file cannot
    // wrap around into the table's range.
    long number = 0;
    bool have_number = false;
    char name[asn_name_max + 1] = "";
    bool have_name = false;
    for (;;) {
        long scanned = number;
        char word[asn_name_max + 1];
        static_assert(asn_name_max == 111, "the scan width below");
        int got = std::fscanf(file.get(), "%ld %111s", &scanned, word);
        if (got == EOF)
            return 0;
        if (got >= 1) {
            number = scanned;
            have_number = true;
        }
        if (got < 2) {
            report_error("Init_ASN_Lookups error: fscanf");
            // What was never read, as in a bad first entry, shows as (none).
            if (have_number)
                std::printf("Init_ASN_Lookups error: asn=%ld, asnname=%s\n", number,
                            have_name ? name : "(none)");
            else
                std::printf("Init_ASN_Lookups error: asn=(none), asnname=(none)\n");
            return 1;
        }
        if (std::strlen(word) == asn_name_max)
            skip_word(file.get());
        std::strcpy(name, word);
        have_name = true;

        // An AS number that no record can carry has no entry to fill.
        if (number < 0 || number >= asn_count)
            continue;
        std::size_t len = std::strlen(name);
        name_block block(new (std::nothrow) char[len + 1]);
        if (!block) {
            report_error("out of memory");
            return 1;
        }
        std::memcpy(block.get(), name, len + 1);
        asn_table[number] = std::move(block);
    }
}

const char* asn_name(int number)
{
    if (asn_table && number >= 0 && number < asn_count && asn_table[number])
        return asn_table[number].get();
    return "<unknown>";
}
