// Where nelk looks for its AS name file: under the install prefix that the
// build was configured with, so that an installed nelk finds the file that
// the operator put next to the installed example.
#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "viewer/asn_names.h"

namespace {

// While set, fopen records the path it is asked for and finds nothing, so
// that no AS name file on this machine takes part.
bool capture_fopen = false;
std::string opened_path;

}  // namespace

// Stands in for the C library's fopen in this test program, the loader's
// own call included; everything else goes through to the real one.
extern "C" std::FILE* fopen(const char* path, const char* mode)
{
    if (capture_fopen) {
        opened_path = path;
        errno = ENOENT;
        return nullptr;
    }
    using fopen_fn = std::FILE* (*)(const char*, const char*);
    static auto real = reinterpret_cast<fopen_fn>(dlsym(RTLD_NEXT, "fopen"));
    if (real == nullptr) {
        errno = ENOSYS;
        return nullptr;
    }
    return real(path, mode);
}

namespace {

std::string path_opened_by_init()
{
    opened_path.clear();
    capture_fopen = true;
    asn_table names;
    const int status = Init_ASN_Lookups(names);
    capture_fopen = false;
    EXPECT_EQ(status, 1) << "a missing AS name file is reported as a failed load";
    return opened_path;
}

TEST(AsnPath, LoaderOpensTheFileUnderTheConfiguredPrefix)
{
    EXPECT_EQ(path_opened_by_init(), NELK_EXPECTED_ASN_FILE);
}

TEST(AsnPath, DefaultPrefixGivesUsrLocalShareNelk)
{
    if (std::string(NELK_INSTALL_PREFIX) != "/usr/local" ||
        std::string(NELK_INSTALL_DATADIR) != "share")
        GTEST_SKIP() << "configured with prefix " << NELK_INSTALL_PREFIX << " and data dir "
                     << NELK_INSTALL_DATADIR;
    EXPECT_EQ(path_opened_by_init(), "/usr/local/share/nelk/asnc.txt");
}

// The example installed next to the AS name file must load as one.
TEST(AsnPath, InstalledExampleLoadsWhole)
{
    asn_table names;
    ASSERT_EQ(load_asn_file(names, NELK_ASN_EXAMPLE), 0);
    EXPECT_STREQ(asn_name(names, 64496), "example-transit");
    EXPECT_STREQ(asn_name(names, 65534), "private-last");
    EXPECT_STREQ(asn_name(names, 64499), "<unknown>");
}

}  // namespace
