// The walkers over the daemons' and zistad's answers, fed one arbitrary
// JSON text as the answer to every command at once (no sockets): the
// nodeinfo walkers and the interface tables linked as the document links
// them, zistad's clients object, both neighbour tables, their merge, and
// the neighbours document regrouped from the merged table.
//
// Checked: nothing crashes or leaks; every value handed out survives the
// release of the answer it came from (a missing reference shows up as a
// double free); the merged table holds exactly the keys of the tables
// merged into it; the neighbours document places merged records
// unchanged under their own key; and every text the program would print
// is strict JSON (valid UTF-8 too when the answer was).
#include <json-c/json.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>

#include "holders.h"
#include "arp.h"
#include "neighbour_tables.h"
#include "json_output.h"
#include "nodeinfo_answers.h"
#include "neighbours.h"
#include "nodeinfo.h"
#include "statistics.h"
#include "strict_json.h"

using tarvik::ArpListPtr;
using tarvik::JsonPtr;

namespace {

bool utf8_answer = false;

void check_text(json_object *value) {
	const char *text = json_output_text(value);
	if (text == nullptr)
		abort();
	size_t size = strlen(text);
	if (!strict_json::valid(text, size))
		abort();
	if (utf8_answer && !strict_json::valid_utf8(reinterpret_cast<const unsigned char *>(text), size))
		abort();
}

ArpEntry *arp_entry(const char *ip, const char *mac, const char *device, ArpEntry *next) {
	auto *e = static_cast<ArpEntry *>(calloc(1, sizeof(ArpEntry)));
	if (e == nullptr)
		abort();
	strcpy(e->ip, ip);
	strcpy(e->mac, mac);
	strcpy(e->device, device);
	e->next = next;
	return e;
}

// The snapshot the olsrd links resolve against: "lo" (the only interface
// with a hardware address in the fuzzer's sandbox) and another interface;
// two addresses share one MAC, one MAC is also an olsrd2 seed's, and one
// row is incomplete (no hardware address: it resolves nothing).
ArpListPtr arp_snapshot() {
	return ArpListPtr(
	    arp_entry("10.0.0.1", "02:00:00:00:00:01", "lo",
	              arp_entry("10.0.0.2", "02:00:00:00:00:02", "lo",
	                        arp_entry("10.0.0.3", "02:00:00:00:00:02", "mesh0",
	                                  arp_entry("10.0.0.4", "00:00:00:00:00:00", "lo", nullptr)))));
}

void add_keys(json_object *table, std::set<std::string> &keys) {
	if (!json_object_is_type(table, json_type_object))
		return;
	json_object_object_foreach(table, key, value) {
		(void)value;
		keys.insert(key);
	}
}

// Every member of `merged` is a key of the tables merged into it, and the
// other way round.
void check_merged_keys(json_object *merged, const std::set<std::string> &expected) {
	std::set<std::string> got;
	add_keys(merged, got);
	if (got != expected)
		abort();
}

// The document is {"batadv": {address: {"neighbours": {mac: record}}}}
// where each record is the merged table's own record under mac.
void check_regrouped(json_object *doc, json_object *merged) {
	json_object *batadv = nullptr;
	if (!json_object_object_get_ex(doc, "batadv", &batadv) ||
	    !json_object_is_type(batadv, json_type_object) || json_object_object_length(doc) != 1)
		abort();
	json_object_object_foreach(batadv, address, group) {
		(void)address;
		json_object *neighbours = nullptr;
		if (!json_object_object_get_ex(group, "neighbours", &neighbours) ||
		    json_object_object_length(group) != 1)
			abort();
		json_object_object_foreach(neighbours, mac, record) {
			if (json_object_object_get(merged, mac) != record)
				abort();
		}
	}
}

// The software objects and the network interfaces of the nodeinfo
// document, as far as they come from answers.
json_object *nodeinfo_parts(json_object *answer) {
	json_object *doc = json_object_new_object();
	json_object *interfaces = json_object_new_object();
	json_object *olsr1 = json_object_new_object();
	json_object *olsr2 = json_object_new_object();
	json_object_object_add(doc, "interfaces", interfaces);
	json_object_object_add(doc, "olsr1", olsr1);
	json_object_object_add(doc, "olsr2", olsr2);

	if (json_object *v = nodeinfo_olsr1_version_from_answer(answer))
		json_object_object_add(olsr1, "version", v);
	if (json_object *v = nodeinfo_olsr1_plugins_from_answer(answer))
		json_object_object_add(olsr1, "plugins", v);
	json_object_object_add(olsr1, "addresses", nodeinfo_olsr1_addresses_from_answer(answer));
	attach_interface_table(olsr1, nodeinfo_olsr1_table_from_answer(answer), "olsr1", interfaces);

	if (json_object *v = nodeinfo_olsr2_version_from_answer(answer))
		json_object_object_add(olsr2, "version", v);
	json_object_object_add(olsr2, "addresses", nodeinfo_olsr2_addresses_from_answer(answer));
	attach_interface_table(olsr2, nodeinfo_olsr2_table_from_answer(answer), "olsr2", interfaces);
	return doc;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	if (size > 65536)
		return 0;
	// The body as the fetch client hands it to the parser: a NUL-terminated
	// text, parsed with json_tokener_parse.
	std::string body(reinterpret_cast<const char *>(data), size);
	utf8_answer = strict_json::valid_utf8(data, size);
	JsonPtr answer(json_tokener_parse(body.c_str()));

	// The raw answer, as the driver prints it.
	check_text(answer.get());

	JsonPtr nodeinfo(nodeinfo_parts(answer.get()));
	JsonPtr clients(clients_from_answer(answer.get()));
	JsonPtr olsr2(tarvik::olsr2_neigh_table(answer.get()));
	JsonPtr olsr1;
	{
		ArpListPtr arp = arp_snapshot();
		olsr1.reset(tarvik::olsr1_neigh_table(answer.get(), arp.get(), 0));
		// Without probing the snapshot stays as it was.
		int entries = 0;
		for (ArpEntry *e = arp.get(); e != nullptr; e = e->next)
			entries++;
		if (entries != 4)
			abort();
	}
	// An arbitrary table merged on top, to reach merge_neighs with records
	// of any shape.
	json_object *extra = json_object_object_get(answer.get(), "table");

	std::set<std::string> keys;
	JsonPtr merged(json_object_new_object());
	if (olsr2) {
		merge_neighs(merged.get(), olsr2.get(), "olsr2");
		add_keys(olsr2.get(), keys);
	}
	if (olsr1) {
		merge_neighs(merged.get(), olsr1.get(), "olsr1");
		add_keys(olsr1.get(), keys);
	}
	merge_neighs(merged.get(), extra, "olsr3");
	add_keys(extra, keys);
	check_merged_keys(merged.get(), keys);

	// Everything taken out of the answer must outlive it.
	answer.reset();

	check_text(nodeinfo.get());
	check_text(clients.get());
	check_text(olsr2.get());
	check_text(olsr1.get());
	olsr2.reset();
	olsr1.reset();
	check_text(merged.get());

	JsonPtr doc(neighbours_from_merged(merged.get()));
	if (!doc)
		abort();
	check_regrouped(doc.get(), merged.get());
	merged.reset();
	check_text(doc.get());
	return 0;
}
