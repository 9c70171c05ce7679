// The neighbours document: the merged neighbour table of both routing
// daemons, regrouped under the hardware address of the local interface
// on which each neighbour was seen. The records are shared, not copied.
#include <json-c/json.h>

#include "holders.h"
#include "plovanutil.h"
#include "providers.h"
#include "tarvik.h"

using tarvik::JsonPtr;
using tarvik::TextPtr;

namespace {

// The member `key` of `object`, added as an empty object when absent;
// NULL when it cannot be added (or holds something else).
json_object *object_member(json_object *object, const char *key) {
	json_object *member = nullptr;
	if (json_object_object_get_ex(object, key, &member))
		return json_object_is_type(member, json_type_object) ? member : nullptr;
	member = json_object_new_object();
	if (member == nullptr)
		return nullptr;
	if (json_object_object_add(object, key, member) != 0) {
		json_object_put(member);
		return nullptr;
	}
	return member;
}

} // namespace

json_object *provider_neighbours(void) {
	JsonPtr doc(json_object_new_object());
	if (!doc)
		return nullptr;
	json_object *batadv = object_member(doc.get(), "batadv");
	if (batadv == nullptr)
		return nullptr;
	JsonPtr merged(get_merged_neighs());
	if (!merged)
		return nullptr;
	json_object_object_foreach(merged.get(), mac, record) {
		json_object *ifname = nullptr;
		if (!json_object_object_get_ex(record, "ifname", &ifname) ||
		    !json_object_is_type(ifname, json_type_string))
			continue;
		TextPtr address(plovanutil_get_interface_address(json_object_get_string(ifname)));
		if (!address)
			continue;
		// Memory running out here gives no document rather than one that
		// silently lacks neighbours.
		json_object *interface = object_member(batadv, address.get());
		json_object *neighbours =
		    interface != nullptr ? object_member(interface, "neighbours") : nullptr;
		if (neighbours == nullptr)
			return nullptr;
		if (json_object_object_add(neighbours, mac, json_object_get(record)) != 0) {
			json_object_put(record);
			return nullptr;
		}
	}
	return doc.release();
}
