// Loading the AS name file: what an operator's file can hold, and what a
// broken one costs (names, never the run).
#include "viewer/asn_names.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/under_asan.h"

namespace {

// The address space capped this many KiB above what the process uses.
void cap_address_space(unsigned long kib_more)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) {
            const rlim_t kib = std::stoul(line.substr(7)) + kib_more;
            const rlimit cap{kib * 1024, kib * 1024};
            setrlimit(RLIMIT_AS, &cap);
        }
    }
}

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
        std::vector<std::pair<long long, std::string>> names;
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
         {{65535, "LAST-AS"}, {2, "TWO"}, {1, unknown}, {0, unknown}, {65536, "TOO-BIG"}}},
        // 32-bit AS numbers, up to 4294967295; the later line for a number wins.
        {"wide.txt", 0, "", "",
         {{65536, "FIRST-WIDE"}, {131072, "X"}, {4200000000, "PRIVATE-NEW"},
          {4294967295, "LAST-AS"}, {23456, "AS-TRANS"}, {131073, unknown}, {0, unknown}}},
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
    for (long long number : {-1LL, 65536LL, 1LL << 30, 4294967296LL, -4294967295LL})
        EXPECT_STREQ(asn_name(names, number), "<unknown>") << number;
}

// Memory follows the AS numbers named, not the file: a 48 MB run of digits,
// a 48 MB word and 250,000 lines renaming one AS load in an address space
// capped 16 MB above the viewer's, and leave a text of a few names.
TEST(AsnNames, HugeRunsAndRepeatsTakeNoMemory)
{
#if defined(NELK_UNDER_ASAN)
    GTEST_SKIP() << "address-space cap and AddressSanitizer do not mix";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char path[] = "/tmp/nelk_asn_huge_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::FILE* f = fdopen(fd, "w");
    ASSERT_NE(f, nullptr);
    const std::string run(1 << 20, '9'), word(1 << 20, 'W');
    std::fputs("1 ONE\n", f);
    for (int i = 0; i < 48; ++i)
        std::fputs(run.c_str(), f);
    std::fputs(" HUGE\n2 ", f);
    for (int i = 0; i < 48; ++i)
        std::fputs(word.c_str(), f);
    for (int i = 0; i < 250000; ++i)
        std::fprintf(f, "\n4200000000 RENAMED-%d", i);
    std::fputs("\n3 THREE\n", f);
    std::fclose(f);
    EXPECT_EXIT(
        {
            cap_address_space(16 << 10);
            const int status = load_asn_file(names, path);
            const bool named = asn_name(names, 1) == std::string("ONE") &&
                               asn_name(names, 2) == std::string(111, 'W') &&
                               asn_name(names, 3) == std::string("THREE") &&
                               asn_name(names, 4200000000) == std::string("RENAMED-249999");
            std::fprintf(stderr, "status %d named %d text %zu\n", status, named,
                         names.text.size());
            std::exit(status == 0 && named && names.text.size() < (3u << 20) ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    unlink(path);
}

}  // namespace
