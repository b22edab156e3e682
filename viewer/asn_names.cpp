#include "viewer/asn_names.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "viewer/messages.h"

namespace {

constexpr int asn_count = 65536;
// Longest name kept; a longer one is cut to this many characters.
constexpr int asn_name_max = 111;

// A name is shown on the operator's terminal: control bytes in it (C0, DEL
// and C1) could move the cursor or retitle the window, so they become '?'.
bool control_byte(unsigned char c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

// Adds name to the table's text; false when memory has run out.
bool add_name(asn_table& table, long number, const char* name)
{
    const std::size_t len = std::strlen(name);
    try {
        const std::size_t at = table.text.size();
        table.text.resize(at + len + 1);
        char* p = table.text.data() + at;
        for (std::size_t i = 0; i < len; ++i)
            p[i] = control_byte(static_cast<unsigned char>(name[i])) ? '?' : name[i];
        p[len] = '\0';
        table.at[number] = static_cast<std::uint32_t>(at + 1);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

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

int Init_ASN_Lookups(asn_table& table)
{
    return load_asn_file(table, NELK_ASN_FILE);
}

int load_asn_file(asn_table& table, const char* path)
{
    // A table loaded before is emptied, its memory kept.
    if (!table.at)
        table.at.reset(new (std::nothrow) std::uint32_t[asn_count]);
    if (!table.at) {
        report_asn_no_memory();
        return 1;
    }
    std::fill_n(table.at.get(), asn_count, 0);
    table.text.clear();

    file_ptr file(std::fopen(path, "r"));
    if (!file) {
        report_asn_unopened();
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
            report_asn_bad_entry(have_number ? &number : nullptr, have_name ? name : nullptr);
            return 1;
        }
        if (std::strlen(word) == asn_name_max)
            skip_word(file.get());
        std::strcpy(name, word);
        have_name = true;

        // An AS number that no record can carry has no entry to fill.
        if (number < 0 || number >= asn_count)
            continue;
        if (!add_name(table, number, name)) {
            report_asn_no_memory();
            return 1;
        }
    }
}

const char* asn_name(const asn_table& table, int number)
{
    if (table.at && number >= 0 && number < asn_count && table.at[number] != 0)
        return table.text.data() + table.at[number] - 1;
    return "<unknown>";
}
