// The relay's command line: what each option word leaves in the settings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "relay/relay.h"

namespace {

option_result parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "nelkd");
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    option_result r = parse_options(static_cast<int>(words.size()), argv.data());
    // bad_arg points into words, which is about to go: keep what the tests need.
    static std::string last_bad;
    last_bad = r.bad_arg ? r.bad_arg : "";
    r.bad_arg = last_bad.c_str();
    return r;
}

TEST(RelayOptions, SettingsFromTheCommandLine)
{
    struct case_ {
        std::vector<std::string> words;
        int udpport, tcpport, bufsize;
        bool debug;
    };
    const case_ cases[] = {
        {{}, 4444, 4444, 196608, false},
        {{"-d"}, 4444, 4444, 196608, true},
        {{"-u", "2055", "-t", "7000"}, 2055, 7000, 196608, false},
        {{"-u", "1", "-u", "2"}, 2, 4444, 196608, false},  // the last one counts
        {{"-u", "abc"}, 4444, 4444, 196608, false},        // no number: unchanged
        {{"-u", "9", "-u", "abc"}, 9, 4444, 196608, false},
        {{"-t", " +12x"}, 4444, 12, 196608, false},        // as "%d" reads it
        {{"-u", "0", "-t", "65535"}, 0, 65535, 196608, false},
        {{"-s", "16384"}, 4444, 4444, 16384, false},
        {{"-s", "20000abc"}, 4444, 4444, 20000, false},
        {{"-s", "99999999999"}, 4444, 4444, 2147483647, false},
        {{"-ds16384"}, 4444, 4444, 16384, true},
        {{"stray", "-d"}, 4444, 4444, 196608, true},
    };
    for (const case_& c : cases) {
        std::string shown;
        for (const std::string& w : c.words)
            shown += w + " ";
        option_result r = parse(c.words);
        EXPECT_EQ(r.outcome, option_outcome::run) << shown;
        EXPECT_EQ(r.settings.udpport, c.udpport) << shown;
        EXPECT_EQ(r.settings.tcpport, c.tcpport) << shown;
        EXPECT_EQ(r.settings.bufsize, c.bufsize) << shown;
        EXPECT_EQ(r.settings.debug, c.debug) << shown;
    }
}

TEST(RelayOptions, RefusalsNameTheArgument)
{
    struct case_ {
        std::vector<std::string> words;
        option_outcome outcome;
        std::string bad_arg;
    };
    const case_ cases[] = {
        {{"-s", "16383"}, option_outcome::bad_bufsize, "16383"},
        {{"-s", "abc"}, option_outcome::bad_bufsize, "abc"},
        {{"-s", "-20000"}, option_outcome::bad_bufsize, "-20000"},
        {{"-s", "100", "-u", "70000"}, option_outcome::bad_bufsize, "100"},  // first one wins
        {{"-u", "65536"}, option_outcome::bad_port, "65536"},
        {{"-t", "-1"}, option_outcome::bad_port, "-1"},
        {{"-t", "99999999999999999999"}, option_outcome::bad_port, "99999999999999999999"},
        {{"-x"}, option_outcome::usage, ""},
        {{"-u"}, option_outcome::usage, ""},
        {{"-d", "-x", "-s", "1"}, option_outcome::usage, ""},
    };
    for (const case_& c : cases) {
        std::string shown;
        for (const std::string& w : c.words)
            shown += w + " ";
        option_result r = parse(c.words);
        EXPECT_EQ(r.outcome, c.outcome) << shown;
        EXPECT_EQ(std::string(r.bad_arg), c.bad_arg) << shown;
    }
}

}  // namespace
