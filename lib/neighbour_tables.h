// The per-daemon neighbour tables, built from answers given as
// parameters so that they can be fed any answer, and how an olsrd link
// gets its MAC address.
#ifndef TARVIK_NEIGHBOUR_TABLES_H
#define TARVIK_NEIGHBOUR_TABLES_H

#include <json-c/json.h>

#include "facts.h"
#include "json_helpers.h"
#include "tarvik.h"

namespace tarvik {

// The olsrd NeighbourTable of a "links" answer (borrowed; NULL allowed),
// keyed by the MAC texts that olsrd_link_mac finds with `arp` (borrowed;
// probing when `probe` is nonzero). NULL when the answer has no "links"
// array, holds a null link, or memory runs out.
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
// looked up in `arp`; when the list lacks it and `probe` is true, one ARP
// probe asks for it and its reply is appended to `arp` for later links.
// Inline on exported functions, so that olsr-kavond --check, which
// reaches the library through libtarvik.so, reports the document's rule.
inline char *olsrd_link_mac(json_object *link, ArpEntry *arp, bool probe, MacFrom *from) {
	const char *ifname = text_of(member(link, kOlsrdLinkInterface));
	const char *ip = text_of(member(link, kOlsrdLinkAddress));
	*from = MacFrom::kNoText;
	if (ifname == nullptr || ip == nullptr)
		return nullptr;
	*from = MacFrom::kArpTable;
	if (char *mac = resolve_mac(arp, ifname, ip, 0))
		return mac;
	char *mac = probe ? resolve_mac(arp, ifname, ip, 1) : nullptr;
	*from = mac != nullptr ? MacFrom::kProbe : MacFrom::kNone;
	return mac;
}

// A new double holding `value` that serialises as null when it is not
// finite (JSON has no text for infinities and NaN); NULL when memory runs
// out.
json_object *new_metric_double(double value);

} // namespace tarvik

#endif
