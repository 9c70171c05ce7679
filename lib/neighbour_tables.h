// The per-daemon neighbour tables, built from answers given as
// parameters so that they can be fed any answer, and how an olsrd link
// gets its MAC address.
#ifndef TARVIK_NEIGHBOUR_TABLES_H
#define TARVIK_NEIGHBOUR_TABLES_H

#include <json-c/json.h>

#include <stdlib.h>

#include "arp.h"
#include "facts.h"
#include "holders.h"
#include "json_helpers.h"
#include "tarvik.h"

namespace tarvik {

// The olsrd NeighbourTable of a "links" answer (borrowed; NULL allowed),
// keyed by the MAC texts that olsrd_link_mac finds in `arp` (borrowed;
// NULL allowed) and, when `probe` is nonzero, in the replies of one
// probe for all the links that `arp` lacks. NULL when the answer has no
// "links" array, holds a null link, or memory runs out.
json_object *olsr1_neigh_table(json_object *answer, ArpEntry *arp, int probe);
// The olsrd2 NeighbourTable of a "nhdpinfo jsonraw link" answer
// (borrowed; NULL allowed); NULL as for olsr1_neigh_table.
json_object *olsr2_neigh_table(json_object *answer);
// How olsrd_link_mac found a link's MAC address, or why it did not.
enum class MacFrom {
	kNoText,   // the link lacks its interface or address text
	kArpTable, // the ARP list held it
	kProbe,    // an ARP probe found it
	kNone,     // not found (probed, when probing was allowed)
};
constexpr size_t kMacFromCount = 4;

// The MAC address text (malloc'd) of `link`, an element of olsrd's links
// answer (borrowed; any JSON value), or NULL; `*from` says how. It is
// looked up in `arp`, then in `probed`, the replies of the probe for
// olsrd_missing_links (NULL: not probed). Inline on exported functions,
// so that olsr-kavond --check, which reaches the library through
// libtarvik.so, reports the document's rule.
inline char *olsrd_link_mac(json_object *link, ArpEntry *arp, ArpEntry *probed,
                            MacFrom *from) {
	const char *ifname = text_of(member(link, kOlsrdLinkInterface));
	const char *ip = text_of(member(link, kOlsrdLinkAddress));
	*from = MacFrom::kNoText;
	if (ifname == nullptr || ip == nullptr)
		return nullptr;
	*from = MacFrom::kArpTable;
	if (char *mac = resolve_mac(arp, ifname, ip, 0))
		return mac;
	*from = MacFrom::kProbe;
	if (char *mac = resolve_mac(probed, ifname, ip, 0))
		return mac;
	*from = MacFrom::kNone;
	return nullptr;
}

// The (interface, address) pairs of the links of `links` (olsrd's links
// array; borrowed) that olsrd_link_mac does not find in `arp`, in link
// order, as a malloc'd array of `*count` targets whose texts the links
// hold: what arp_probe_targets asks for at once, before the links are
// resolved with its replies as `probed`. NULL (and 0) when memory runs
// out.
inline ArpTarget *olsrd_missing_links(json_object *links, ArpEntry *arp, size_t *count) {
	*count = 0;
	size_t length = json_object_is_type(links, json_type_array) ? json_object_array_length(links)
	                                                            : 0;
	auto *targets = static_cast<ArpTarget *>(calloc(length > 0 ? length : 1, sizeof(ArpTarget)));
	if (targets == nullptr)
		return nullptr;
	for (size_t i = 0; i < length; i++) {
		json_object *link = json_object_array_get_idx(links, i);
		MacFrom from;
		free(olsrd_link_mac(link, arp, nullptr, &from));
		if (from == MacFrom::kNone)
			targets[(*count)++] = {text_of(member(link, kOlsrdLinkInterface)),
			                       text_of(member(link, kOlsrdLinkAddress))};
	}
	return targets;
}

// A new double holding `value` that serialises as null when it is not
// finite (JSON has no text for infinities and NaN); NULL when memory runs
// out.
json_object *new_metric_double(double value);

} // namespace tarvik

#endif
