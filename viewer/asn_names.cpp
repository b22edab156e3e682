#include "viewer/asn_names.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "viewer/messages.h"

namespace {

// Numbers below this have a slot of their own; the rest are looked up.
constexpr long direct_count = 65536;
constexpr long asn_max = 4294967295;
// Longest name kept; a longer one is cut to this many characters.
constexpr int asn_name_max = 111;
// Dead text tolerated beyond the live text before the text is compacted.
constexpr std::size_t dead_slack = 1 << 20;

// A name is shown on the operator's terminal: control bytes in it (C0, DEL
// and C1) could move the cursor or retitle the window, so they become '?'.
bool control_byte(unsigned char c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

// Where the number's name begins in text, plus one; 0 when it has none.
std::uint32_t* slot_of(asn_table& table, long number)
{
    if (number < direct_count)
        return &table.at[number];
    const auto it = table.wide.find(static_cast<std::uint32_t>(number));
    return it == table.wide.end() ? nullptr : &it->second;
}

const char* name_at(const asn_table& table, std::uint32_t at)
{
    return table.text.data() + at - 1;
}

// Copies the live names into a text of their own, dropping the dead ones.
void compact(asn_table& table)
{
    std::vector<char> text;
    text.reserve(table.text.size() - table.dead);
    const auto move = [&](std::uint32_t& at) {
        if (at == 0)
            return;
        const char* name = name_at(table, at);
        const std::size_t len = std::strlen(name);
        at = static_cast<std::uint32_t>(text.size() + 1);
        text.insert(text.end(), name, name + len + 1);
    };
    for (long n = 0; n < direct_count; ++n)
        move(table.at[n]);
    for (auto& entry : table.wide)
        move(entry.second);
    table.text.swap(text);
    table.dead = 0;
}

// Adds (or replaces) the number's name; false when memory has run out.
bool add_name(asn_table& table, long number, const char* name)
{
    const std::size_t len = std::strlen(name);
    try {
        const std::size_t at = table.text.size();
        if (at + len + 1 >= UINT32_MAX)
            return false;
        std::uint32_t* slot = slot_of(table, number);
        if (slot == nullptr)
            slot = &table.wide[static_cast<std::uint32_t>(number)];
        table.text.resize(at + len + 1);
        char* p = table.text.data() + at;
        for (std::size_t i = 0; i < len; ++i)
            p[i] = control_byte(static_cast<unsigned char>(name[i])) ? '?' : name[i];
        p[len] = '\0';
        // The last line for a number wins; the name it replaces is dead text.
        if (*slot != 0)
            table.dead += std::strlen(name_at(table, *slot)) + 1;
        *slot = static_cast<std::uint32_t>(at + 1);
        if (table.dead > dead_slack && table.dead > table.text.size() - table.dead)
            compact(table);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// The file read as "%ld %111s" reads it, one character at a time and with
// nothing kept beyond a name's 111 characters: a run of digits or a word
// of any length costs no memory.
struct entry_reader {
    std::FILE* f;

    int next() { return getc_unlocked(f); }
    void give_back(int c)
    {
        if (c != EOF)
            std::ungetc(c, f);
    }
    // The next character that is not white space (or EOF).
    int skip_space()
    {
        int c;
        while ((c = next()) != EOF && std::isspace(c)) {
        }
        return c;
    }

    // "%ld": EOF when the file ends first, 0 when no number is there, else
    // 1 with the number, held at LONG_MAX or LONG_MIN when it is beyond them.
    int number(long* out)
    {
        int c = skip_space();
        if (c == EOF)
            return EOF;
        const bool negative = c == '-';
        if (c == '-' || c == '+')
            c = next();
        if (c == EOF || !std::isdigit(c)) {
            give_back(c);
            return 0;
        }
        unsigned long magnitude = 0;
        const unsigned long limit =
            negative ? static_cast<unsigned long>(LONG_MAX) + 1 : LONG_MAX;
        for (; c != EOF && std::isdigit(c); c = next()) {
            const unsigned digit = static_cast<unsigned>(c - '0');
            magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
        }
        give_back(c);
        *out = negative ? static_cast<long>(0 - magnitude) : static_cast<long>(magnitude);
        return 1;
    }

    // " %111s": false when the file ends before the word. A longer word is
    // cut to what is kept; the rest of it is passed over.
    bool word(char (&out)[asn_name_max + 1])
    {
        int c = skip_space();
        if (c == EOF)
            return false;
        int n = 0;
        for (; c != EOF && !std::isspace(c); c = next())
            if (n < asn_name_max)
                out[n++] = static_cast<char>(c);
        give_back(c);
        out[n] = '\0';
        return true;
    }
};

}  // namespace

int Init_ASN_Lookups(asn_table& table)
{
    return load_asn_file(table, NELK_ASN_FILE);
}

int load_asn_file(asn_table& table, const char* path)
{
    // A table loaded before is emptied.
    if (!table.at)
        table.at.reset(new (std::nothrow) std::uint32_t[direct_count]);
    if (!table.at) {
        report_asn_no_memory();
        return 1;
    }
    std::fill_n(table.at.get(), direct_count, 0);
    table.wide.clear();
    table.text.clear();
    table.text.shrink_to_fit();
    table.dead = 0;

    file_ptr file(std::fopen(path, "r"));
    if (!file) {
        report_asn_unopened();
        return 1;
    }

    entry_reader in{file.get()};
    long number = 0;
    bool have_number = false;
    char name[asn_name_max + 1] = "";
    bool have_name = false;
    for (;;) {
        const int got = in.number(&number);
        if (got == EOF)
            return 0;
        have_number = have_number || got == 1;
        char word[asn_name_max + 1];
        if (got == 0 || !in.word(word)) {
            report_asn_bad_entry(have_number ? &number : nullptr, have_name ? name : nullptr);
            return 1;
        }
        std::strcpy(name, word);
        have_name = true;

        // An AS number that no record can carry has no entry to fill.
        if (number < 0 || number > asn_max)
            continue;
        if (!add_name(table, number, name)) {
            report_asn_no_memory();
            return 1;
        }
    }
}

const char* asn_name(const asn_table& table, long long number)
{
    if (!table.at || number < 0 || number > asn_max)
        return "<unknown>";
    std::uint32_t at = 0;
    if (number < direct_count) {
        at = table.at[number];
    } else if (const auto it = table.wide.find(static_cast<std::uint32_t>(number));
               it != table.wide.end()) {
        at = it->second;
    }
    return at != 0 ? name_at(table, at) : "<unknown>";
}
