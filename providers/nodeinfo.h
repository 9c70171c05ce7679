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
	json_object *(*table_of)(json_object *answer); // of its interfaces command
};
// olsrd, then olsrd2.
extern const NodeinfoDaemon kNodeinfoDaemons[2];

// The classes of interfaces that plovanutil_get_interface_type gives.
enum InterfaceClass { kClassOther = 0, kClassWired = 1, kClassWireless = 2, kClassTunnel = 3 };

// The name of the class that `type` gives: "wired", "wireless", "tunnel",
// or "other" for every other value; the keys of the class lists.
constexpr const char *interface_class_name(int type) {
	constexpr const char *kNames[] = {"other", "wired", "wireless", "tunnel"};
	return type >= kClassOther && type <= kClassTunnel ? kNames[type] : "other";
}

#endif
