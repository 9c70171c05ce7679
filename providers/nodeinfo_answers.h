// The nodeinfo document's own parts, internal to it (the check and the
// tests use them too): the walkers that read the routing daemons' answers,
// how an interface table joins the document, and the class lists of an
// interface. Each walker takes one answer as the daemon gave it
// (borrowed: it is neither kept nor released, and may be NULL or any JSON
// value at all) and returns a new value that shares the answer's values,
// one reference per place, so the caller may release the answer at once.
//
// Rules for answers that lack what they should carry: a missing or
// mistyped array is walked as an empty one; an element that is not an
// object, or whose key ("name", "if") is not a JSON string, is left out;
// "originator", "if_bindto_v4" and "if_bindto_v6" count as text only when
// they are JSON strings.
#ifndef DRAVEL_NODEINFO_ANSWERS_H
#define DRAVEL_NODEINFO_ANSWERS_H

#include <json-c/json.h>

// olsrd "version": the value at "version" -> "version", or NULL.
json_object *nodeinfo_olsr1_version_from_answer(json_object *answer);
// olsrd "plugins": the value at "plugins", or NULL.
json_object *nodeinfo_olsr1_plugins_from_answer(json_object *answer);
// olsrd "interfaces": a new array of every element's "olsrInterface" ->
// "ipAddress" that exists, in order. NULL only when memory runs out.
json_object *nodeinfo_olsr1_addresses_from_answer(json_object *answer);
// olsrd "interfaces": a new interface table (name -> {"configured", "up",
// "ipAddress", "mode"}, absent values null). NULL only when memory runs
// out.
json_object *nodeinfo_olsr1_table_from_answer(json_object *answer);

// olsrd2 "systeminfo jsonraw version": "version" -> [0] -> "version_text",
// or NULL.
json_object *nodeinfo_olsr2_version_from_answer(json_object *answer);
// olsrd2 "olsrv2info jsonraw originator": a new array of every element's
// "originator" text that does not begin with "-". NULL only when memory
// runs out.
json_object *nodeinfo_olsr2_addresses_from_answer(json_object *answer);
// olsrd2 "nhdpinfo jsonraw interface": a new interface table (if ->
// {"mac", "v4", "v6"}; a bind address that is "-…" or not text is null).
// NULL only when memory runs out.
json_object *nodeinfo_olsr2_table_from_answer(json_object *answer);

// Links one daemon's interface table (its reference is taken over; NULL
// changes nothing) into the daemon object as "interfaces" and, entry by
// entry, into the network interfaces object under `key`: one object with
// a reference in each place.
void attach_interface_table(json_object *daemon, json_object *table, const char *key,
                            json_object *network_interfaces);

// The class lists of interface `name` ("wireless", "wired", "tunnel",
// "other", each only when non-empty): the hardware addresses of its lower
// devices found in /sys/class/net/<name>/lower_*, then its own. NULL,
// with nothing looked up, for a name that could leave /sys/class/net
// (empty, longer than 15 characters, "." or "..", or holding "/"); NULL
// too when memory runs out.
json_object *nodeinfo_interface_classes(const char *name);

#endif
