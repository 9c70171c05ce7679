// How an olsrd link gets its MAC address: the one rule, followed by the
// neighbours document (olsr1_get_neigh) and reported link by link by
// olsr-kavond --check.
//
// Internal. The code calls nothing of the library but exported functions,
// so besides being built into the library it is linked on its own into
// olsr-kavond, whose check cannot reach the library's hidden functions
// through libtarvik.so.
#ifndef TARVIK_OLSRD_LINKS_H
#define TARVIK_OLSRD_LINKS_H

#include <json-c/json.h>

#include "arp.h"

namespace tarvik {

// How olsrd_link_mac found a link's MAC address, or why it did not.
enum class MacFrom {
	kNoText,   // the link lacks its interface or address text
	kArpTable, // the ARP list held it
	kProbe,    // an ARP probe found it
	kNone,     // not found (probed, when probing was allowed)
};
constexpr size_t kMacFromCount = 4;

// The ARP list that one run of lookups with probing works on: a
// placeholder entry that answers no lookup (it has no hardware address),
// followed by the rows of /proc/net/arp (none when the table is empty or
// cannot be read; read_arp_cache reports the latter). The list is never
// empty, so resolve_mac probes for every pair the table lacks and
// appends what the probe finds for the later lookups. NULL only when
// memory runs out.
ArpEntry *arp_list_for_probing(void);

// The MAC address text (malloc'd) of `link`, an element of olsrd's links
// answer (borrowed; any JSON value), or NULL; `*from` says how. It is
// looked up in `arp`; when the list lacks it and `probe` is true, one ARP
// probe asks for it and its reply is appended to `arp`, so that it serves
// later links too.
char *olsrd_link_mac(json_object *link, ArpEntry *arp, bool probe, MacFrom *from);

} // namespace tarvik

#endif
