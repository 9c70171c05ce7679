// The neighbours document: the merged neighbour table of both routing
// daemons, regrouped under the hardware address of the local interface
// on which each neighbour was seen. The records are shared, not copied.
#include <json-c/json.h>
#include <string.h>

#include <utility>

#include "holders.h"
#include "json_helpers.h"
#include "plovanutil.h"
#include "neighbours.h"
#include "tarvik.h"

using namespace tarvik;

namespace {

// The hardware addresses looked up during one call, by interface name:
// many neighbours share an interface, and each lookup reads sysfs. The
// names are borrowed from the merged table, which outlives the cache.
class AddressCache {
public:
	// The address text of `ifname`, NULL when it has none; owned by the
	// cache.
	const char *get(const char *ifname) {
		for (size_t i = 0; i < used_; i++)
			if (strcmp(slots_[i].ifname, ifname) == 0)
				return slots_[i].address.get();
		TextPtr address(plovanutil_get_interface_address(ifname));
		if (used_ == kSlots) { // more interfaces than slots: look up each time
			overflow_ = std::move(address);
			return overflow_.get();
		}
		slots_[used_].ifname = ifname;
		slots_[used_].address = std::move(address);
		return slots_[used_++].address.get();
	}

private:
	static constexpr size_t kSlots = 16;
	struct Slot {
		const char *ifname = nullptr;
		TextPtr address;
	};
	Slot slots_[kSlots];
	size_t used_ = 0;
	TextPtr overflow_;
};

} // namespace

json_object *neighbours_from_merged(json_object *merged) {
	JsonPtr doc(json_object_new_object());
	if (!doc)
		return nullptr;
	json_object *batadv = object_member(doc.get(), "batadv");
	if (batadv == nullptr)
		return nullptr;
	if (!json_object_is_type(merged, json_type_object))
		return doc.release();
	AddressCache addresses;
	json_object_object_foreach(merged, mac, record) {
		const char *ifname = text_of(member(record, "ifname"));
		const char *address = ifname != nullptr ? addresses.get(ifname) : nullptr;
		if (address == nullptr)
			continue;
		// Memory running out here gives no document rather than one that
		// silently lacks neighbours.
		json_object *interface = object_member(batadv, address);
		json_object *neighbours =
		    interface != nullptr ? object_member(interface, "neighbours") : nullptr;
		if (neighbours == nullptr || !add_shared(neighbours, mac, record))
			return nullptr;
	}
	return doc.release();
}

json_object *provider_neighbours(void) {
	JsonPtr merged(get_merged_neighs());
	if (!merged)
		return nullptr;
	// The document takes its own reference to each record it places, so
	// the merged table can go as soon as the records are regrouped.
	return neighbours_from_merged(merged.get());
}
