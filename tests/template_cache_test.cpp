// The templates the relay holds for late viewers: what is kept, what goes,
// and the messages a viewer gets when it connects.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "common/export_checks.h"
#include "common/framed_stream.h"
#include "relay/template_cache.h"
#include "tests/netflow_message.h"
#include "tests/addresses.h"

namespace {

using namespace test_messages;

const net_address router = addr("192.0.2.1");
const net_address router6 = addr("2001:db8::9");

// Checks a message as the relay does and hands it to the cache.
void learn(template_cache& c, const bytes& d, long now_ms, const net_address& from = router,
           std::uint16_t port = 2055, std::uint64_t time_ns = 0)
{
    std::vector<template_record> found;
    const checked_export info = check_export(d.data(), d.size(), &found);
    ASSERT_GT(info.length, 0u);
    c.learn(from, port, d.data(), info, found, now_ms, time_ns ? time_ns : 1000000u * now_ms);
}

struct replayed {
    framed_head head;
    bytes datagram;
    std::vector<bytes> records;  // the template records it holds
};

// The frames of a replay, each checked as the relay checks what it relays.
std::vector<replayed> replay_of(const template_cache& c)
{
    bytes out;
    const std::size_t frames = c.replay(out);
    std::vector<replayed> got;
    for (std::size_t at = 0; at < out.size();) {
        replayed r;
        r.head = decode_framed_head(out.data() + at);
        EXPECT_EQ(r.head.kind, framed_replayed);
        r.datagram.assign(out.begin() + static_cast<long>(at + framed_head_size),
                          out.begin() + static_cast<long>(at + r.head.length));
        std::vector<template_record> found;
        const checked_export e = check_export(r.datagram.data(), r.datagram.size(), &found);
        EXPECT_EQ(e.length, r.datagram.size()) << "a replayed message fails the checks";
        for (const template_record& t : found)
            r.records.emplace_back(t.bytes, t.bytes + t.size);
        got.push_back(std::move(r));
        at += r.head.length;
    }
    EXPECT_EQ(got.size(), frames);
    return got;
}

std::vector<bytes> records_of(const template_cache& c)
{
    std::vector<bytes> all;
    for (const replayed& r : replay_of(c))
        all.insert(all.end(), r.records.begin(), r.records.end());
    return all;
}

TEST(TemplateCache, LatestRecordWinsAndWithdrawalsRemove)
{
    const bytes t256 = template_record_of(256, 2), t256b = template_record_of(256, 5, 9),
                t257 = template_record_of(257, 3), o258 = options_record_of(true, 258, 2);
    struct step {
        const char* what;
        bytes message;
        std::vector<bytes> held;
    };
    const step steps[] = {
        {"two templates and an options template",
         sized(ipfix().set(2, t256).set(2, t257).set(3, o258)), {t256, t257, o258}},
        {"256 again, as it was: a refresh", sized(ipfix().set(2, t256)), {t257, t256, o258}},
        {"256 redefined", sized(ipfix().set(2, t256b)), {t257, t256b, o258}},
        {"257 withdrawn", sized(ipfix().set(2, message{}.u16(257).u16(0).b)), {t256b, o258}},
        {"a withdrawal of what is not held", sized(ipfix().set(2, message{}.u16(300).u16(0).b)),
         {t256b, o258}},
        {"every template withdrawn", sized(ipfix().set(2, message{}.u16(2).u16(0).b)), {o258}},
        {"templates back, then every options template withdrawn",
         sized(ipfix().set(2, t257).set(3, message{}.u16(3).u16(0).b)), {t257}},
        {"template ids below 256 carry no data: not kept",
         sized(ipfix().set(2, template_record_of(255, 1))), {t257}},
    };
    template_cache c;
    long now = 0;
    for (const step& s : steps) {
        learn(c, s.message, now += 10);
        std::vector<bytes> got = records_of(c);
        std::vector<bytes> want = s.held;
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want) << s.what;
        EXPECT_EQ(c.size(), s.held.size()) << s.what;
    }
}

TEST(TemplateCache, KeyedByExporterPortVersionAndDomain)
{
    template_cache c;
    const bytes t = template_record_of(256, 2);
    learn(c, v9(1, 7).set(0, t).b, 1);
    learn(c, v9(2, 7).set(0, t).b, 2);                  // the same: a refresh
    learn(c, v9(3, 8).set(0, t).b, 3);                  // another source id
    learn(c, sized(ipfix(0, 4, 7).set(2, t)), 4);       // another version
    learn(c, v9(5, 7).set(0, t).b, 5, router, 2056);    // another port
    learn(c, v9(6, 7).set(0, t).b, 6, router6, 2055);   // another exporter
    EXPECT_EQ(c.size(), 5u);
    std::map<std::tuple<std::string, int, int, std::uint32_t>, int> seen;
    for (const replayed& r : replay_of(c)) {
        const std::uint16_t version = load_be16(r.datagram.data());
        const std::uint32_t domain = load_be32(r.datagram.data() + (version == 9 ? 16 : 12));
        ++seen[{address_text(r.head.exporter), r.head.port, version, domain}];
        EXPECT_EQ(r.head.family, r.head.exporter.is_v4() ? 4 : 6);
    }
    const decltype(seen) want = {{{"192.0.2.1", 2055, 9, 7}, 1},  {{"192.0.2.1", 2055, 9, 8}, 1},
                                 {{"192.0.2.1", 2055, 10, 7}, 1}, {{"192.0.2.1", 2056, 9, 7}, 1},
                                 {{"2001:db8::9", 2055, 9, 7}, 1}};
    EXPECT_EQ(seen, want);
}

TEST(TemplateCache, EntriesNotRefreshedExpire)
{
    template_limits limits;
    limits.ttl_ms = 1000;
    template_cache c(limits);
    learn(c, v9().set(0, template_record_of(256, 2)).b, 0);
    learn(c, v9().set(0, template_record_of(257, 2)).b, 600);
    c.expire(999);
    EXPECT_EQ(c.size(), 2u);
    learn(c, v9().set(0, template_record_of(256, 2)).b, 999);  // refreshed in time
    c.expire(1600);
    EXPECT_EQ(c.size(), 1u);
    EXPECT_EQ(records_of(c), std::vector<bytes>{template_record_of(256, 2)});
    c.expire(1999);
    EXPECT_EQ(c.size(), 0u);
    EXPECT_TRUE(replay_of(c).empty());
}

// Forged exporters cannot grow the cache: the entries refreshed longest
// ago go, of the exporter over its bounds, or of anyone over the bounds in
// all.
TEST(TemplateCache, BoundsGiveUpTheEntriesRefreshedLongestAgo)
{
    template_limits limits;
    limits.exporter_templates = 3;
    limits.templates = 5;
    limits.exporter_bytes = 100;
    limits.bytes = 1000;
    template_cache c(limits);
    auto t = [](unsigned id, unsigned fields = 2) { return template_record_of(id, fields, id); };
    auto held = [&] {
        std::vector<bytes> r = records_of(c);
        std::sort(r.begin(), r.end());
        return r;
    };
    auto sorted = [](std::vector<bytes> v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    for (unsigned id = 256; id < 259; ++id)
        learn(c, v9().set(0, t(id)).b, id);
    learn(c, v9().set(0, t(256)).b, 300);  // 257 is now the oldest
    learn(c, v9().set(0, t(259)).b, 301);
    EXPECT_EQ(held(), sorted({t(256), t(258), t(259)}));
    // Bytes: 12 each; a 92-byte template leaves room for nothing else.
    learn(c, v9().set(0, t(260, 22)).b, 302);
    EXPECT_EQ(held(), sorted({t(260, 22)}));
    // Others, up to five in all; the sixth pushes out the oldest anywhere.
    learn(c, v9().set(0, t(256)).b, 303, router6);
    learn(c, v9().set(0, t(257)).b, 304, router6);
    learn(c, v9().set(0, t(256)).b, 305, router, 9999);
    learn(c, v9().set(0, t(257)).b, 306, router, 9999);
    EXPECT_EQ(c.size(), 5u);
    learn(c, v9().set(0, t(258)).b, 307, router, 9999);
    EXPECT_EQ(c.size(), 5u);
    EXPECT_EQ(c.bytes(), 5 * 12u);
    EXPECT_EQ(held(), sorted({t(256), t(257), t(256), t(257), t(258)}));
}

// What a late viewer gets: complete messages in the exporter's version, the
// header of its last message, grouped by the time the templates came.
TEST(TemplateCache, ReplayedMessages)
{
    template_cache c;
    const bytes t256 = template_record_of(256, 4), o257 = options_record_of(false, 257, 2),
                i300 = template_record_of(300, 3), i301 = options_record_of(true, 301, 1);
    learn(c, v9(10).set(0, t256).set(1, o257).b, 1, router, 2055, 111);
    learn(c, v9(11).set(256, bytes(16, 1)).b, 2, router, 2055, 222);  // data only
    learn(c, sized(ipfix(0, 50).set(2, i300)), 3, router6, 4739, 333);
    learn(c, sized(ipfix(0, 51).set(3, i301)), 4, router6, 4739, 444);
    const std::vector<replayed> got = replay_of(c);
    ASSERT_EQ(got.size(), 3u);
    // v9: both records in one message of two flowsets, count 2, the
    // sequence number of the last message (a data message).
    EXPECT_EQ(address_text(got[0].head.exporter), "192.0.2.1");
    EXPECT_EQ(got[0].head.port, 2055);
    EXPECT_EQ(got[0].head.time_ns, 111u);
    bytes want = v9(11).set(0, t256).set(1, message{o257}.pad(2).b).b;
    store_be16(want.data() + 2, 2);
    EXPECT_EQ(got[0].datagram, want);
    // IPFIX: one message per time received, each with the last header.
    EXPECT_EQ(got[1].head.time_ns, 333u);
    EXPECT_EQ(got[1].datagram, sized(ipfix(0, 51).set(2, i300)));
    EXPECT_EQ(got[2].head.time_ns, 444u);
    EXPECT_EQ(got[2].datagram, sized(ipfix(0, 51).set(3, message{i301}.pad(2).b)));
    EXPECT_EQ(got[2].head.family, 6);
    EXPECT_EQ(got[2].head.port, 4739);
}

TEST(TemplateCache, ReplaysSplitWhereAMessageWouldPass65535Bytes)
{
    template_cache c;
    // Three templates of 4 + 4 x 6000 bytes, too many for one datagram,
    // learnt one by one at one time.
    for (unsigned id = 256; id < 259; ++id)
        learn(c, v9().set(0, template_record_of(id, 6000, id)).b, 1, router, 2055, 5);
    const std::vector<replayed> got = replay_of(c);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].records.size() + got[1].records.size(), 3u);
    for (const replayed& r : got) {
        EXPECT_LE(r.datagram.size(), framed_max_datagram);
        EXPECT_EQ(load_be16(r.datagram.data() + 2), r.records.size());
        EXPECT_EQ(r.head.time_ns, 5u);
    }
}

}  // namespace
