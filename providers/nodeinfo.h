// The nodeinfo document: which routing daemons the site enables and
// whether they run, their versions, plugins, addresses and interface
// tables, and the hardware addresses beneath every interface they use. A
// document is a new json_object that the caller releases with
// json_object_put. The walkers over the daemons' answers are in
// nodeinfo_answers.h.
#ifndef DRAVEL_NODEINFO_H
#define DRAVEL_NODEINFO_H

#include <json-c/json.h>

#include "facts.h"

// The nodeinfo document, or NULL when the daemon state cannot be read.
json_object *provider_nodeinfo(void);
// What the nodeinfo document asks of one routing daemon, in the order
// asked (the commands are its facts'), and how each answer is read.
struct NodeinfoDaemon {
	const tarvik::DaemonFacts *facts;
	const char *key; // under "software" and in "network" -> "interfaces"
	int (*query)(const char *command, json_object **answer);
	json_object *(*version_of)(json_object *answer);
	json_object *(*plugins_of)(json_object *answer); // NULL: the daemon has no plugins
	json_object *(*addresses_of)(json_object *answer);
	json_object *(*interface_table)(void); // asks a query of its own
};
// olsrd, then olsrd2.
extern const NodeinfoDaemon kNodeinfoDaemons[2];

// The olsrd / olsrd2 interface table, or NULL when its query fails.
json_object *olsr1_get_interfaces(void);
json_object *olsr2_get_interfaces(void);
// Links one daemon's interface table (its reference is taken over) into
// the daemon object and the network interfaces object under `key`.
void attach_interface_table(json_object *daemon, json_object *table, const char *key,
                            json_object *network_interfaces);
// Appends the hardware address of `device` to the list that its lowest
// device's class selects.
void classify_interface(const char *device, json_object *wireless, json_object *wired,
                        json_object *tunnel, json_object *other);
// Adds `array` to `object` under `key` when it has elements; otherwise
// releases it.
void add_if_nonempty(json_object *object, const char *key, json_object *array);

#endif
