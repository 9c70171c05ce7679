// Neighbour tables: each routing daemon's direct neighbours as a JSON
// object keyed by MAC address text, and their merge into one table.
//
// The walkers that turn a daemon's answer into a table take the answer
// (and, for olsrd, the ARP list) as parameters, so that they can be run
// without sockets; olsr1_get_neigh and olsr2_get_neigh only add the
// queries around them.
#include <json-c/json.h>
#include <stdio.h>
#include <string.h>

#include "facts.h"
#include "holders.h"
#include "json_helpers.h"
#include "arp.h"
#include "neighbour_tables.h"

namespace tarvik {
namespace {

// Protocol names are at most 6 characters, so that "<protocol>_ip" fits
// the 10-byte key buffer.
constexpr size_t kProtocolMax = 6;

// The record of one olsrd link, members in table order.
json_object *olsr1_record(json_object *link) {
	JsonPtr record(json_object_new_object());
	if (!record)
		return nullptr;
	double lq = json_object_get_double(json_object_object_get(link, "linkQuality"));
	double nlq = json_object_get_double(json_object_object_get(link, "neighborLinkQuality"));
	double quality = lq * nlq;
	// A quality of 0 gives "etx" +inf: kept in memory as it is, written
	// as null by the value's serializer.
	if (!add_shared(record.get(), "ifname", json_object_object_get(link, kOlsrdLinkInterface)) ||
	    !add_new(record.get(), "best", json_object_new_boolean(0)) ||
	    !add_new(record.get(), "etx", new_metric_double(1.0 / quality)) ||
	    !add_shared(record.get(), "ip", json_object_object_get(link, kOlsrdLinkAddress)) ||
	    !add_new(record.get(), "tq", new_metric_double(quality * 255.0)))
		return nullptr;
	return record.release();
}

// The record of one olsrd2 link, members in table order.
json_object *olsr2_record(json_object *link) {
	JsonPtr record(json_object_new_object());
	if (!record)
		return nullptr;
	if (!add_shared(record.get(), "ifname", json_object_object_get(link, "if")) ||
	    !add_new(record.get(), "best", json_object_new_boolean(0)) ||
	    !add_shared(record.get(), "etx", json_object_object_get(link, "link_vtime")) ||
	    !add_shared(record.get(), "ip", json_object_object_get(link, "neighbor_originator")))
		return nullptr;
	return record.release();
}

// Whether an olsrd2 record was listed for IPv6: its originator is an IPv6
// address text (only those hold a ":").
bool is_ipv6_entry(json_object *record) {
	const char *ip = text_of(member(record, "ip"));
	return ip != nullptr && strchr(ip, ':') != nullptr;
}

// "tq" and "etx": the first value is taken over, a later one averaged with
// it. Should the average not be created, the member keeps its value.
void merge_metric(json_object *target, const char *key, json_object *value) {
	json_object *old = nullptr;
	if (!json_object_object_get_ex(target, key, &old)) {
		add_shared(target, key, value);
		return;
	}
	double mean = (json_object_get_double(old) + json_object_get_double(value)) * 0.5;
	add_new(target, key, new_metric_double(mean));
}

// "best": the first value is taken over, a later one OR-ed with it.
void merge_best(json_object *target, json_object *value) {
	json_object *old = nullptr;
	if (!json_object_object_get_ex(target, "best", &old)) {
		add_shared(target, "best", value);
		return;
	}
	bool best = json_object_get_boolean(old) || json_object_get_boolean(value);
	add_new(target, "best", json_object_new_boolean(best));
}

void merge_record(json_object *target, json_object *record, const char *protocol) {
	json_object_object_foreach(record, key, value) {
		if (strcmp(key, "tq") == 0 || strcmp(key, "etx") == 0) {
			merge_metric(target, key, value);
		} else if (strcmp(key, "ip") == 0) {
			char name[10]; // the protocol name's limit keeps this from cutting
			snprintf(name, sizeof name, "%s_%s", protocol, key);
			add_shared(target, name, value);
		} else if (strcmp(key, "best") == 0) {
			merge_best(target, value);
		} else {
			add_shared(target, key, value);
		}
	}
}

} // namespace

json_object *new_metric_double(double value) {
	json_object *number = json_object_new_double(value);
	if (number != nullptr)
		json_object_set_serializer(number, write_number_or_null, nullptr, nullptr);
	return number;
}

json_object *olsr1_neigh_table(json_object *answer, ArpEntry *arp, int probe) {
	json_object *links = array_member(answer, kOlsrdLinks);
	if (links == nullptr)
		return nullptr;
	JsonPtr table(json_object_new_object());
	if (!table)
		return nullptr;
	// Every link missing from the ARP list is probed for before the walk,
	// all in one wait; the walk then finds the replies.
	ArpListPtr probed;
	if (probe != 0) {
		size_t missing = 0;
		MallocPtr<ArpTarget> targets(olsrd_missing_links(links, arp, &missing));
		probed.reset(arp_probe_targets(targets.get(), missing, kArpProbeTimeoutMs, nullptr));
	}
	size_t count = json_object_array_length(links);
	for (size_t i = 0; i < count; i++) {
		json_object *link = json_object_array_get_idx(links, i);
		if (link == nullptr)
			return nullptr;
		// A link whose MAC address cannot be found, or that lacks the texts
		// to look for it, is left out.
		MacFrom from;
		TextPtr mac(olsrd_link_mac(link, arp, probed.get(), &from));
		if (!mac)
			continue;
		JsonPtr record(olsr1_record(link));
		if (!record)
			return nullptr;
		if (!add_owned(table.get(), mac.get(), record.release()))
			return nullptr;
	}
	return table.release();
}

json_object *olsr2_neigh_table(json_object *answer) {
	json_object *links = array_member(answer, "link");
	if (links == nullptr)
		return nullptr;
	size_t count = json_object_array_length(links);
	JsonPtr table(json_object_new_object());
	if (!table)
		return nullptr;
	for (size_t i = 0; i < count; i++) {
		json_object *link = json_object_array_get_idx(links, i);
		if (link == nullptr)
			return nullptr;
		JsonPtr record(olsr2_record(link));
		if (!record)
			return nullptr;
		// A link without a "link_mac" text has no key: it is left out.
		const char *mac = text_of(member(link, "link_mac"));
		if (mac == nullptr)
			continue;
		// olsrd2 lists a neighbour once per address family, in an order
		// that changes between its restarts: the IPv6 entry's values are
		// kept whatever the order, so the record does not flip between
		// two originators from one refresh to the next.
		if (is_ipv6_entry(member(table.get(), mac)) && !is_ipv6_entry(record.get()))
			continue;
		if (!add_owned(table.get(), mac, record.release()))
			return nullptr;
	}
	return table.release();
}

} // namespace tarvik

using namespace tarvik;

extern "C" {

json_object *olsr1_get_neigh(void) {
	json_object *raw = nullptr;
	if (olsr1_get_nodeinfo(kOlsrdFacts.links_command, &raw) != 0)
		return nullptr;
	JsonPtr answer(raw);
	// An empty ARP table is common (OLSR's own traffic is broadcast, and
	// after a boot nothing else has been sent): the links are then
	// resolved by probe. So is every link when the table cannot be read
	// at all (NULL, like an empty one): the table only spares probes, and
	// failing here would lose every other neighbour of the document too.
	ArpListPtr arp(read_arp_cache());
	// The records share the answer's values, which keeps them alive once
	// the answer is released.
	return olsr1_neigh_table(answer.get(), arp.get(), 1);
}

json_object *olsr2_get_neigh(void) {
	json_object *raw = nullptr;
	if (olsr2_get_nodeinfo(kOlsrd2Facts.links_command, &raw) != 0)
		return nullptr;
	JsonPtr answer(raw);
	return olsr2_neigh_table(answer.get());
}

void merge_neighs(json_object *merged, json_object *table, const char *protocol) {
	if (!json_object_is_type(merged, json_type_object) ||
	    !json_object_is_type(table, json_type_object) || merged == table || protocol == nullptr)
		return;
	// A longer name would be cut into another protocol's key: refused
	// before anything is written.
	if (strnlen(protocol, kProtocolMax + 1) > kProtocolMax)
		return;
	json_object_object_foreach(table, mac, record) {
		json_object *target = nullptr;
		if (!json_object_object_get_ex(merged, mac, &target)) {
			// Added before it is filled, so that the merged table stays
			// whole whatever fails later.
			target = json_object_new_object();
			if (target == nullptr || !add_owned(merged, mac, target))
				continue;
		}
		// A record cannot be merged into itself (it would grow while it
		// is walked).
		if (!json_object_is_type(target, json_type_object) ||
		    !json_object_is_type(record, json_type_object) || target == record)
			continue;
		merge_record(target, record, protocol);
	}
}

json_object *get_merged_neighs(void) {
	DaemonState state;
	if (oi(&state) != 0)
		return nullptr;
	JsonPtr merged(json_object_new_object());
	if (!merged)
		return nullptr;
	// olsrd2 first: a neighbour that both daemons see gets olsrd2's
	// member order, and olsrd's values where a value is replaced.
	if (state.olsr2_running) {
		JsonPtr table(olsr2_get_neigh());
		if (!table)
			return nullptr;
		merge_neighs(merged.get(), table.get(), "olsr2");
	}
	if (state.olsr1_running) {
		JsonPtr table(olsr1_get_neigh());
		if (!table)
			return nullptr;
		merge_neighs(merged.get(), table.get(), "olsr1");
	}
	return merged.release();
}

} // extern "C"
