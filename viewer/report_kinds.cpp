#include "viewer/report_kinds.h"

#include "viewer/report.h"

const std::array<report_kind_entry, 4> report_kinds = {{
    {report_kind::as, 'a', "as",
     "    |----AS Name/Num----|-bw;% of total-| |----AS Name/Num----|-bw,% of total-|\n", 6,
     &interval_stats::in_src_as, &interval_stats::in_dst_as, &interval_stats::out_src_as,
     &interval_stats::out_dst_as, as_cell},
    {report_kind::proto, 'p', "proto", "Rank|--Proto Name/Num---|-bw;% of total-|\n", 4,
     &interval_stats::in_proto, nullptr, &interval_stats::out_proto, nullptr, proto_cell},
    {report_kind::tcpport, 't', "tcpport",
     "    |-----TCP Port------|-bw;% of total-| |-----TCP Port------|-bw,% of total-|\n", 6,
     &interval_stats::in_tcp_src, &interval_stats::in_tcp_dst, &interval_stats::out_tcp_src,
     &interval_stats::out_tcp_dst, tcp_cell},
    {report_kind::udpport, 'u', "udpport",
     "    |-----UDP Port------|-bw;% of total-| |-----UDP Port------|-bw,% of total-|\n", 6,
     &interval_stats::in_udp_src, &interval_stats::in_udp_dst, &interval_stats::out_udp_src,
     &interval_stats::out_udp_dst, udp_cell},
}};

const report_kind_entry* report_kind_for_key(int key)
{
    for (const report_kind_entry& k : report_kinds)
        if (k.key == key)
            return &k;
    return nullptr;
}

const report_kind_entry* report_kind_for_word(std::string_view word)
{
    for (const report_kind_entry& k : report_kinds)
        if (word == k.word)
            return &k;
    return nullptr;
}

const report_kind_entry* report_kind_entry_of(report_kind kind)
{
    for (const report_kind_entry& k : report_kinds)
        if (k.kind == kind)
            return &k;
    return nullptr;
}
