// MAC resolution inside the library: the ARP table text, ARP frames and
// the probe, each reachable without the kernel where it can be.
#ifndef TARVIK_ARP_H
#define TARVIK_ARP_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "holders.h"
#include "tarvik.h"

struct sockaddr_ll;

namespace tarvik {

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

struct ArpListFree {
	void operator()(ArpEntry *list) const { cleanup_arp_cache(list); }
};
// An ARP list (an ArpEntry chain), freed with cleanup_arp_cache.
using ArpListPtr = Owner<ArpEntry, ArpListFree>;

// The ARP list of one run of lookups with probing: a placeholder entry
// (calloc'd: no hardware address, so it answers no lookup), then the rows
// of /proc/net/arp, if any. Never empty, so resolve_mac can append what a
// probe finds for the later lookups. NULL only when memory runs out.
// Inline on exported functions, so the check (olsr-kavond) uses it too.
inline ArpEntry *arp_list_for_probing(void) {
	ArpEntry *placeholder = static_cast<ArpEntry *>(calloc(1, sizeof(ArpEntry)));
	if (placeholder != nullptr)
		placeholder->next = read_arp_cache();
	return placeholder;
}

} // namespace tarvik

#endif
