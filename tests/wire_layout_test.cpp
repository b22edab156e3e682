#include <gtest/gtest.h>

#include <array>

#include "common/nf5.h"

// A record built field by field must come back identical, and the bytes on
// the wire must be big-endian where routers put them so.
TEST(WireLayout, RecordRoundTripAndByteOrder)
{
    nf5_record r{};
    r.srcaddr = 0x0302010a;  // bytes 10.1.2.3 on a little-endian host
    r.input = 0x0102;
    r.dPkts = 0x01020304;
    r.dOctets = 1500;
    r.srcport = 80;
    r.dstport = 1025;
    r.prot = 6;
    r.src_as = 65001;
    std::array<std::uint8_t, nf5_record_size> wire{};
    encode_nf5_record(wire.data(), r);
    EXPECT_EQ(wire[0], 0x0a);
    EXPECT_EQ(wire[12], 0x01);
    EXPECT_EQ(wire[13], 0x02);
    EXPECT_EQ(wire[16], 0x01);
    EXPECT_EQ(wire[19], 0x04);
    EXPECT_EQ(wire[38], 6);
    EXPECT_EQ(wire[40], 0xfd);
    EXPECT_EQ(wire[41], 0xe9);
    nf5_record back = decode_nf5_record(wire.data());
    EXPECT_EQ(std::memcmp(&back, &r, sizeof r), 0);
}

TEST(WireLayout, HeaderRoundTrip)
{
    nf5_header h{};
    h.version = 5;
    h.count = 30;
    h.unix_secs = 0x5f5e1000;
    h.flow_sequence = 77;
    h.engine_id = 3;
    std::array<std::uint8_t, nf5_header_size> wire{};
    encode_nf5_header(wire.data(), h);
    EXPECT_EQ(wire[1], 5);
    EXPECT_EQ(wire[3], 30);
    nf5_header back = decode_nf5_header(wire.data());
    EXPECT_EQ(back.version, 5);
    EXPECT_EQ(back.count, 30);
    EXPECT_EQ(back.unix_secs, 0x5f5e1000u);
    EXPECT_EQ(back.flow_sequence, 77u);
    EXPECT_EQ(back.engine_id, 3);
}
