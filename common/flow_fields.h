// The field types of NetFlow v9 templates and IPFIX information elements
// that nelk reads. v9 and IPFIX share these numbers (IPFIX took v9's), so
// one list serves both; names are IPFIX's, the v9 name beside.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ie {

constexpr std::uint16_t octetDeltaCount = 1;             // IN_BYTES
constexpr std::uint16_t packetDeltaCount = 2;            // IN_PKTS
constexpr std::uint16_t protocolIdentifier = 4;          // PROTOCOL
constexpr std::uint16_t ipClassOfService = 5;            // SRC_TOS
constexpr std::uint16_t tcpControlBits = 6;              // TCP_FLAGS
constexpr std::uint16_t sourceTransportPort = 7;         // L4_SRC_PORT
constexpr std::uint16_t sourceIPv4Address = 8;           // IPV4_SRC_ADDR
constexpr std::uint16_t sourceIPv4PrefixLength = 9;      // SRC_MASK
constexpr std::uint16_t ingressInterface = 10;           // INPUT_SNMP
constexpr std::uint16_t destinationTransportPort = 11;   // L4_DST_PORT
constexpr std::uint16_t destinationIPv4Address = 12;     // IPV4_DST_ADDR
constexpr std::uint16_t destinationIPv4PrefixLength = 13;  // DST_MASK
constexpr std::uint16_t egressInterface = 14;            // OUTPUT_SNMP
constexpr std::uint16_t ipNextHopIPv4Address = 15;       // IPV4_NEXT_HOP
constexpr std::uint16_t bgpSourceAsNumber = 16;          // SRC_AS
constexpr std::uint16_t bgpDestinationAsNumber = 17;     // DST_AS
constexpr std::uint16_t flowEndSysUpTime = 21;           // LAST_SWITCHED
constexpr std::uint16_t flowStartSysUpTime = 22;         // FIRST_SWITCHED
constexpr std::uint16_t postOctetDeltaCount = 23;        // OUT_BYTES
constexpr std::uint16_t postPacketDeltaCount = 24;       // OUT_PKTS
constexpr std::uint16_t sourceIPv6Address = 27;          // IPV6_SRC_ADDR
constexpr std::uint16_t destinationIPv6Address = 28;     // IPV6_DST_ADDR
constexpr std::uint16_t sourceIPv6PrefixLength = 29;     // IPV6_SRC_MASK
constexpr std::uint16_t destinationIPv6PrefixLength = 30;  // IPV6_DST_MASK
constexpr std::uint16_t icmpTypeCodeIPv4 = 32;           // ICMP_TYPE
constexpr std::uint16_t samplingInterval = 34;           // SAMPLING_INTERVAL
constexpr std::uint16_t samplerId = 48;                  // FLOW_SAMPLER_ID
constexpr std::uint16_t samplerRandomInterval = 50;      // FLOW_SAMPLER_RANDOM_INTERVAL
constexpr std::uint16_t ipNextHopIPv6Address = 62;       // IPV6_NEXT_HOP
constexpr std::uint16_t octetTotalCount = 85;
constexpr std::uint16_t packetTotalCount = 86;
constexpr std::uint16_t icmpTypeCodeIPv6 = 139;
constexpr std::uint16_t flowStartSeconds = 150;
constexpr std::uint16_t flowEndSeconds = 151;
constexpr std::uint16_t flowStartMilliseconds = 152;
constexpr std::uint16_t flowEndMilliseconds = 153;
constexpr std::uint16_t flowStartMicroseconds = 154;
constexpr std::uint16_t flowEndMicroseconds = 155;
constexpr std::uint16_t flowStartNanoseconds = 156;
constexpr std::uint16_t flowEndNanoseconds = 157;
constexpr std::uint16_t flowStartDeltaMicroseconds = 158;
constexpr std::uint16_t flowEndDeltaMicroseconds = 159;
constexpr std::uint16_t systemInitTimeMilliseconds = 160;
constexpr std::uint16_t selectorId = 302;
constexpr std::uint16_t samplingPacketInterval = 305;
constexpr std::uint16_t samplingPacketSpace = 306;

}  // namespace ie

// IPFIX: a field type with this bit set is enterprise-specific and is
// followed by a 4-byte enterprise number; a length of this value marks a
// variable-length field, whose length comes with each record.
constexpr std::uint16_t ipfix_enterprise_bit = 0x8000;
constexpr std::uint16_t ipfix_variable_length = 65535;

// NTP timestamps (dateTimeMicroseconds, dateTimeNanoseconds) count from
// 1900; this many seconds lie between then and 1970.
constexpr std::uint64_t ntp_unix_offset = 2208988800u;
