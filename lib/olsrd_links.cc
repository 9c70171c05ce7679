// How an olsrd link gets its MAC address (olsrd_links.h).
#include <stdlib.h>

#include "facts.h"
#include "json_helpers.h"
#include "olsrd_links.h"

namespace tarvik {

ArpEntry *arp_list_for_probing(void) {
	// calloc'd: every text empty, so the placeholder has no hardware
	// address and no lookup answers with it.
	ArpEntry *placeholder = static_cast<ArpEntry *>(calloc(1, sizeof(ArpEntry)));
	if (placeholder != nullptr)
		placeholder->next = read_arp_cache();
	return placeholder;
}

char *olsrd_link_mac(json_object *link, ArpEntry *arp, bool probe, MacFrom *from) {
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

} // namespace tarvik
