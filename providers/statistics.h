// The statistics document: zistad's roaming clients and the traffic
// counters of the client port. A document is a new json_object that the
// caller releases with json_object_put.
#ifndef DRAVEL_STATISTICS_H
#define DRAVEL_STATISTICS_H

#include <json-c/json.h>
#include <stddef.h>
#include <stdint.h>

// zistad, asked for its roaming clients, and the members of its answer
// that the document keeps.
constexpr char kZistadSocket[] = "/var/run/zistad.sock";
constexpr char kZistadRequest[] = "get_clients";
constexpr char kZistadClients[] = "clients";
constexpr char kZistadClientList[] = "clientlist";
// The client port, whose counters the document carries.
constexpr char kTrafficInterface[] = "local-port";

// The first 24 counters of the kernel's rtnl_link_stats64, in its order
// and in host byte order: the payload of an IFLA_STATS64 attribute up to
// rx_nohandler (newer kernels append counters, which are not kept).
struct link_stats64 {
	uint64_t rx_packets, tx_packets, rx_bytes, tx_bytes;
	uint64_t rx_errors, tx_errors, rx_dropped, tx_dropped;
	uint64_t multicast, collisions;
	uint64_t rx_length_errors, rx_over_errors, rx_crc_errors, rx_frame_errors;
	uint64_t rx_fifo_errors, rx_missed_errors;
	uint64_t tx_aborted_errors, tx_carrier_errors, tx_fifo_errors;
	uint64_t tx_heartbeat_errors, tx_window_errors;
	uint64_t rx_compressed, tx_compressed, rx_nohandler;
};
// The link statistics of "local-port" in a new 192-byte record (caller
// frees) through `out`, which is set to NULL first: 0, or an errno value
// (that of the failed socket call, ENOMEM, or ENODATA when the reply
// holds no 64-bit statistics).
int get_link_stats64(struct link_stats64 **out);
// {"rx": {...}, "tx": {...}} of "local-port", or NULL.
json_object *get_traffic(void);
// The statistics document: {"clients": ..., "traffic": ...}; NULL only
// when memory runs out.
json_object *provider_statistics(void);

// The pieces of the above, reachable by the tests without a kernel or a
// zistad:
// The 132-byte RTM_GETLINK request for interface `ifindex`.
constexpr size_t kLinkRequestSize = 132;
void build_link_request(uint32_t ifindex, unsigned char request[kLinkRequestSize]);
// Walks the link attributes of the reply `reply`, of which `received`
// bytes arrived, never reading past them or past the message's own
// length. When an IFLA_STATS64 attribute is found, fills `*stats` from its
// payload (a shorter payload is copied as far as it goes, the rest of the
// record is zero) and returns 0; otherwise ENODATA and `*stats` is
// untouched.
int read_link_stats64(const unsigned char *reply, size_t received, struct link_stats64 *stats);
// The traffic object of `stats`: each counter an unsigned 64-bit JSON
// integer (json_object_new_uint64). NULL when memory runs out.
json_object *traffic_from_stats(const struct link_stats64 *stats);
// The clients object of zistad's answer `answer` (only read; the values
// kept take references of their own), or NULL when memory runs out.
json_object *clients_from_answer(json_object *answer);

#endif
