// Functions shared between the library's modules (and reachable by its
// unit tests through the static archive), but not exported.
#ifndef TARVIK_INTERNAL_H
#define TARVIK_INTERNAL_H

#include <json-c/json.h>
#include <stddef.h>
#include <stdio.h>

#include "tarvik.h"

struct sockaddr_ll;

namespace tarvik {

// ---- fetch ----------------------------------------------------------

// The idle time-out of every daemon query.
constexpr int kFetchTimeoutMs = 300000;

// get_url with the time-out as a parameter; get_url passes kFetchTimeoutMs.
int get_url_timeout(const char *url, fetch_callback data_read, fetch_callback complete,
                    void *result, int expected, int timeout_ms);

// Ends the request with `code` (every end passes through here); also the
// client's error callback.
void fetch_stop(uclient *cl, int code);
void fetch_header_done(uclient *cl);
void fetch_data_eof(uclient *cl);
// The data callback of every query: collects into the QueryResult's body.
void fetch_data_read(uclient *cl);
// Completion steps: the body as a JSON object, or as text.
void finish_json(uclient *cl);
void finish_raw(uclient *cl);

// Releases a BodyBuffer record and whatever chunks it still holds (all of
// them when it was never joined, none after joining). NULL is allowed.
void body_buffer_free(BodyBuffer *body);

// ---- local socket requests ------------------------------------------

// The bounds of one socket request. Each wait (connecting, sending, each
// receive of the answer) gives up after kSocketSilenceMs of silence: a
// local daemon answers in milliseconds. The whole exchange, from the
// start to the end of the answer, gives up after kSocketExchangeMs, so a
// peer that trickles a byte now and then cannot hold the caller; and an
// answer longer than kSocketAnswerMax is refused, so a peer that sends
// without end cannot fill the caller's memory (zistad's answer is a few
// KiB).
constexpr int kSocketSilenceMs = 3000;
constexpr int kSocketExchangeMs = 10000;
constexpr size_t kSocketAnswerMax = 4 << 20;

// socket_request and socket_request_json with the bounds as parameters;
// the exported functions pass the constants above. `*error`, when given,
// receives 0 or the negated errno value of the failure (-ETIMEDOUT when a
// bound ran out, -EMSGSIZE for an answer over `answer_max` bytes, -EINVAL
// for an answer that is not one JSON value).
int socket_request_timeout(const char *path, const char *request, char **answer,
                           int timeout_ms, int exchange_ms = kSocketExchangeMs);
json_object *socket_request_json_timeout(const char *path, const char *request,
                                         int timeout_ms, int exchange_ms = kSocketExchangeMs,
                                         size_t answer_max = kSocketAnswerMax,
                                         int *error = nullptr);

// ---- neighbour tables -----------------------------------------------

// The olsrd NeighbourTable of a "links" answer (borrowed; NULL allowed),
// keyed by the MAC texts that resolve_mac finds in `arp` (borrowed; a
// probe result is appended when `probe` is nonzero). NULL when the answer
// has no "links" array, holds a null link, or memory runs out.
json_object *olsr1_neigh_table(json_object *answer, ArpEntry *arp, int probe);
// The olsrd2 NeighbourTable of a "nhdpinfo jsonraw link" answer
// (borrowed; NULL allowed); NULL as for olsr1_neigh_table.
json_object *olsr2_neigh_table(json_object *answer);
// A new double holding `value` that serialises as null when it is not
// finite (JSON has no text for infinities and NaN); NULL when memory runs
// out.
json_object *new_metric_double(double value);

// ---- MAC resolution ---------------------------------------------------

// The bound on the wait for an ARP reply: one deadline per probe.
constexpr int kArpProbeTimeoutMs = 1000;
// The bytes of an ARP frame that are sent and read (Ethernet + ARP).
constexpr size_t kArpFrameLength = 42;
// The buffer an ARP frame is built or received in.
constexpr size_t kArpFrameBuffer = 60;

// The entries of an ARP table text in the form of /proc/net/arp (a header
// line, then one row per entry), read from `table`, in row order; NULL
// when there is no row. The caller closes `table`.
ArpEntry *parse_arp_table(FILE *table);
// Interprets a received frame of `length` bytes: when it is an ARP reply
// of at least kArpFrameLength bytes, fills entry->ip and entry->mac from
// its sender and returns 0; otherwise -1 with the entry untouched.
int arp_reply_from_frame(const uint8_t *frame, size_t length, ArpEntry *entry);
// Builds the ARP request for `dst_ip` from `src_mac`/`src_ip` (network
// byte order) in `frame` (kArpFrameBuffer bytes, cleared first).
void build_arp_request(uint8_t *frame, const uint8_t *src_mac, uint32_t src_ip,
                       uint32_t dst_ip);
// The link-layer address that the request is sent to on `ifindex`.
void arp_request_address(sockaddr_ll *addr, int ifindex, const uint8_t *src_mac);
// test_arping with the bound on the wait as a parameter.
ArpEntry *arp_probe(const char *device, const char *ip, int timeout_ms);
// The ARP list that one run of lookups with probing works on: a
// placeholder entry that answers no lookup (it has no hardware address),
// followed by the rows of /proc/net/arp (none when the table is empty or
// cannot be read; read_arp_cache reports the latter). The list is never
// empty, so resolve_mac probes for every pair the table lacks and
// appends what the probe finds for the later lookups. NULL only when
// memory runs out. Free it with cleanup_arp_cache.
ArpEntry *arp_list_for_probing(void);

} // namespace tarvik

#endif
