// The connection to the relay and the viewer's one event loop: frames from
// the relay socket, single keys from the operator.
#pragma once

#include "viewer/flow_record.h"
#include "viewer/packet_reader.h"
#include "viewer/udp_input.h"
#include "viewer/viewer.h"

// Connects to the relay at server (host name or dotted address; an IPv6
// address with -s [address]:port) and port (its low 16 bits), or with -u
// opens the UDP port the exports come to; enters key mode unless in
// colondump or json mode, and runs the loop until a quit key, a signal
// (signals.h), the flow limit, the end of the stream or a failure ends the
// process. With -L the loop also wakes at least once a second of real time
// to show the live view when it is due.
[[noreturn]] void connect_and_run(const char* server, int port, flow_context& ctx);

// What the loop does after a read of the relay's stream: prints the report
// of every interval that closed, each before the flows that came after it,
// and handles what was read; returns the end the input came to, if any.
input_end follow_input(packet_reader& reader, input_outcome r, flow_context& ctx);
// The same after a receive of exports (-u).
input_end follow_datagrams(udp_receiver& rx, input_outcome r, flow_context& ctx);

// Flushes all output, then reads one byte from standard input: 0 to 255, or
// -1 when no byte was read (end of file or a read error).
int read_key();

// Acts on one key: q and Control-C quit, a/p/t/u pick the report type and
// reprint the last report (with -L, redraw the live view instead), e prints
// the exporter table (with -L, makes it the live view's page until a report
// key), anything else shows the key help.
void handle_key(int key, flow_context& ctx);
