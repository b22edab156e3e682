// Loading the AS name file: what an operator's file can hold, and what a
// broken one costs (names, never the run).
#include "viewer/asn_names.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct loaded {
    int status;
    std::string out;
    std::string err;
};

asn_table names;

loaded load(const std::string& file)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = load_asn_file(names, (std::string(NELK_TEST_DATA) + "/asn/" + file).c_str());
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    return {status, out, testing::internal::GetCapturedStderr()};
}

TEST(AsnNames, Files)
{
    const std::string unknown = "<unknown>";
    const std::string scan_error = "Init_ASN_Lookups error: fscanf: ";
    const struct {
        const char* file;
        int status;
        std::string out;
        std::string err_start;
        std::vector<std::pair<int, std::string>> names;
    } rows[] = {
        {"empty.txt", 0, "", "", {{0, unknown}, {65535, unknown}}},
        // Blank lines, runs of blanks and tabs, no line end at the end.
        {"spacing.txt", 0, "", "",
         {{7018, "ATT-INTERNET"}, {701, "UUNET"}, {3356, "LEVEL3"}, {65001, "EXAMPLE-NET"}}},
        {"repeated.txt", 0, "", "", {{100, "NEW-NAME"}, {200, "OTHER"}}},
        {"as_zero.txt", 0, "", "", {{0, "RESERVED-ZERO"}, {1, unknown}}},
        // The second word is scanned as the next number and stops the load.
        {"two_words.txt", 1, "Init_ASN_Lookups error: asn=2, asnname=TWO\n", scan_error,
         {{1, "ONE"}, {2, "TWO"}, {3, unknown}}},
        {"number_alone.txt", 1, "Init_ASN_Lookups error: asn=3, asnname=TWO\n", scan_error,
         {{2, "TWO"}, {3, unknown}}},
        {"bad_first.txt", 1, "Init_ASN_Lookups error: asn=(none), asnname=(none)\n", scan_error,
         {{1, unknown}, {2, unknown}}},
        {"first_number_alone.txt", 1, "Init_ASN_Lookups error: asn=42, asnname=(none)\n",
         scan_error, {{42, unknown}}},
        // Numbers no record can carry are passed over, never wrapped onto
        // an AS that exists.
        {"out_of_range.txt", 0, "", "",
         {{65535, "LAST-AS"}, {2, "TWO"}, {1, unknown}, {0, unknown}}},
        // Control bytes would reach the operator's terminal: they become '?',
        // other bytes of a name stay as they are.
        {"control_bytes.txt", 0, "", "",
         {{1, "ESC?[2Jcleared"}, {2, "BELL?DEL?C1?end"}, {3, "UTF8-Telef\303\263nica"},
          {4, "plain"}}},
        // Names beyond the 111 characters kept are cut; the load goes on.
        {"long_name.txt", 0, "", "",
         {{10, std::string(111, 'L')}, {11, std::string(111, 'M')}, {12, "TWELVE"}}},
        {"no_such_file.txt", 1, "", "fopen: No such file or directory", {{0, unknown}}},
    };
    for (const auto& r : rows) {
        // Loading another file first shows that each load starts empty.
        load("listing.txt");
        loaded l = load(r.file);
        EXPECT_EQ(l.status, r.status) << r.file;
        EXPECT_EQ(l.out, r.out) << r.file;
        EXPECT_TRUE(r.err_start.empty() ? l.err.empty() : l.err.rfind(r.err_start, 0) == 0)
            << r.file << ": " << l.err;
        for (const auto& [number, name] : r.names)
            EXPECT_EQ(asn_name(names, number), name) << r.file << ": AS " << number;
        EXPECT_STREQ(asn_name(names, 64512), "<unknown>") << r.file;
    }
    for (int number : {-1, 65536, 1 << 30})
        EXPECT_STREQ(asn_name(names, number), "<unknown>") << number;
}

}  // namespace
