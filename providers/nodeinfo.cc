// The nodeinfo document: which routing daemons the site enables and
// whether they run, their versions, plugins, addresses and interface
// tables, and for every interface they use the hardware addresses beneath
// it, sorted by the kind of link.
//
// Values read from a daemon answer are shared with the document, never
// copied: the document takes one reference per place where it keeps one,
// and the answer is released as soon as its values are taken.
#include <glob.h>
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "facts.h"
#include "holders.h"
#include "json_helpers.h"
#include "nodeinfo_answers.h"
#include "plovanutil.h"
#include "nodeinfo.h"
#include "tarvik.h"

using namespace tarvik;

namespace {

// Adds `value` under `key` when there is one.
void add_if_found(json_object *object, const char *key, json_object *value) {
	if (value != nullptr)
		add_owned(object, key, value);
}

// A bind address of an olsrd2 interface: the value, or NULL when it is
// "-…" (none) or not text.
json_object *bind_address(json_object *element, const char *key) {
	json_object *value = member(element, key);
	const char *text = text_of(value);
	if (text == nullptr || text[0] == '-')
		return nullptr;
	return json_ref(value);
}

using Query = int (*)(const char *, json_object **);

// Sends `command` with `query` and, when the query succeeds, hands its
// answer (NULL when the daemon's text did not parse) to `use`. The answer
// is released right after: the values kept hold references of their own.
template <class Use>
void with_answer(Query query, const char *command, Use use) {
	json_object *got = nullptr;
	if (query(command, &got) != 0)
		return;
	JsonPtr answer(got);
	use(answer.get());
}

// Adds a daemon's address list to its object as "addresses" and shares
// each address with the network address list.
void add_addresses(json_object *daemon, json_object *addresses, json_object *network_addresses) {
	if (addresses == nullptr || !add_owned(daemon, "addresses", addresses))
		return;
	for (size_t i = 0, n = length_of(addresses); i < n; i++)
		append_owned(network_addresses, json_ref(json_object_array_get_idx(addresses, i)));
}

// A daemon's object: "running", and when it runs, what its queries give.
json_object *daemon_software(const NodeinfoDaemon &d, bool running,
                             json_object *network_addresses, json_object *network_interfaces) {
	JsonPtr daemon(json_object_new_object());
	if (!daemon)
		return nullptr;
	add_owned(daemon.get(), "running", json_object_new_boolean(running));
	if (!running)
		return daemon.release();

	with_answer(d.query, d.facts->version_command, [&](json_object *answer) {
		add_if_found(daemon.get(), "version", d.version_of(answer));
	});
	if (d.facts->plugins_command != nullptr)
		with_answer(d.query, d.facts->plugins_command, [&](json_object *answer) {
			add_if_found(daemon.get(), "plugins", d.plugins_of(answer));
		});
	with_answer(d.query, d.facts->addresses_command, [&](json_object *answer) {
		add_addresses(daemon.get(), d.addresses_of(answer), network_addresses);
	});
	// The table asks again (olsrd: "interfaces" a second time), whether or
	// not the query above succeeded: address list and table are decided
	// independently.
	with_answer(d.query, d.facts->interfaces_command, [&](json_object *answer) {
		attach_interface_table(daemon.get(), d.table_of(answer), d.key, network_interfaces);
	});
	return daemon.release();
}

// Interface names come from daemon answers, so they are untrusted: a name
// that is empty, longer than the kernel's 15 characters, "." or "..", or
// holds "/" could name a directory outside /sys/class/net (the rule that
// the utility library applies to the names it is given).
bool safe_interface_name(const char *name) {
	constexpr size_t kNameMax = 15; // the kernel's 16-byte name field less its NUL
	if (name == nullptr)
		return false;
	size_t length = strnlen(name, kNameMax + 1);
	if (length == 0 || length > kNameMax)
		return false;
	if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
		return false;
	return strchr(name, '/') == nullptr;
}

// Appends the hardware address of `device` to the list that its lowest
// device's class selects.
void classify_interface(const char *device, json_object *wireless, json_object *wired,
                        json_object *tunnel, json_object *other) {
	json_object *address =
	    plovanutil_wrap_and_free_string(plovanutil_get_interface_address(device));
	char lowest[16];
	plovanutil_get_interface_lower(lowest, device);
	switch (plovanutil_get_interface_type(lowest)) {
	case kClassWireless:
		append_owned(wireless, address);
		break;
	case kClassTunnel:
		append_owned(tunnel, address);
		break;
	case kClassWired:
		append_owned(wired, address);
		break;
	default:
		append_owned(other, address);
		break;
	}
}

// Adds `array` to `object` under `key` when it has elements; otherwise
// releases it.
void add_if_nonempty(json_object *object, const char *key, json_object *array) {
	if (json_object_is_type(array, json_type_array) && json_object_array_length(array) != 0)
		add_owned(object, key, array);
	else
		json_object_put(array);
}

// Files the lower devices of `name` (the lower_* entries of its
// /sys/class/net directory, in directory order) and then `name` itself.
void classify_with_lower(const char *name, json_object *wireless, json_object *wired,
                         json_object *tunnel, json_object *other) {
	// "/sys/class/net/" + name + "/lower_*" + NUL.
	size_t size = strlen(name) + 24;
	TextPtr pattern(static_cast<char *>(malloc(size)));
	if (!pattern)
		return;
	snprintf(pattern.get(), size, "/sys/class/net/%s/lower_*", name);
	// Everything before the final "*": a match's lower device name
	// follows it.
	size_t fixed = size - 2;

	glob_t found{};
	int result = glob(pattern.get(), GLOB_NOSORT, nullptr, &found);
	if (result == 0) {
		for (size_t i = 0; i < found.gl_pathc; i++) {
			const char *match = found.gl_pathv[i];
			// A name holding glob characters ("*", "?", "[") can match
			// other interfaces' directories, and matches of another
			// length: only entries of the interface's own directory count.
			if (strncmp(match, pattern.get(), fixed) != 0)
				continue;
			classify_interface(match + fixed, wireless, wired, tunnel, other);
		}
	}
	// glob initialises the list even when it fails, and may leave a
	// partial one behind on failure.
	globfree(&found);
	if (result == 0 || result == GLOB_NOMATCH)
		classify_interface(name, wireless, wired, tunnel, other);
}

// "network" -> "mesh": the class lists of every interface of the network
// interfaces object except "lo" and names that are no safe path
// component (those stay in the interface tables, as the daemon named
// them, but never reach /sys).
void add_mesh(json_object *network_interfaces, json_object *mesh) {
	for_each_member(network_interfaces, [mesh](const char *name, json_object *) {
		if (strcmp(name, "lo") == 0)
			return;
		JsonPtr iface(json_object_new_object());
		if (!iface)
			return;
		json_object *classes = nodeinfo_interface_classes(name);
		if (classes == nullptr || !add_owned(iface.get(), "interfaces", classes))
			return;
		add_owned(mesh, name, iface.release());
	});
}

} // namespace

const NodeinfoDaemon kNodeinfoDaemons[2] = {
    {&kOlsrdFacts, "olsr1", olsr1_get_nodeinfo, nodeinfo_olsr1_version_from_answer,
     nodeinfo_olsr1_plugins_from_answer, nodeinfo_olsr1_addresses_from_answer,
     nodeinfo_olsr1_table_from_answer},
    {&kOlsrd2Facts, "olsr2", olsr2_get_nodeinfo, nodeinfo_olsr2_version_from_answer, nullptr,
     nodeinfo_olsr2_addresses_from_answer, nodeinfo_olsr2_table_from_answer},
};

// ---- walkers over the daemon answers ------------------------------------

json_object *nodeinfo_olsr1_version_from_answer(json_object *answer) {
	return json_ref(member(member(answer, "version"), "version"));
}

json_object *nodeinfo_olsr1_plugins_from_answer(json_object *answer) {
	return json_ref(member(answer, "plugins"));
}

json_object *nodeinfo_olsr1_addresses_from_answer(json_object *answer) {
	json_object *addresses = json_object_new_array();
	if (addresses == nullptr)
		return nullptr;
	json_object *elements = array_member(answer, "interfaces");
	for (size_t i = 0, n = length_of(elements); i < n; i++) {
		json_object *element = json_object_array_get_idx(elements, i);
		json_object *address = member(member(element, "olsrInterface"), "ipAddress");
		if (address != nullptr)
			append_owned(addresses, json_ref(address));
	}
	return addresses;
}

json_object *nodeinfo_olsr1_table_from_answer(json_object *answer) {
	json_object *table = json_object_new_object();
	if (table == nullptr)
		return nullptr;
	json_object *elements = array_member(answer, "interfaces");
	for (size_t i = 0, n = length_of(elements); i < n; i++) {
		json_object *element = json_object_array_get_idx(elements, i);
		const char *name = text_of(member(element, "name"));
		if (name == nullptr)
			continue;
		json_object *olsr = member(element, "olsrInterface");
		JsonPtr entry(json_object_new_object());
		if (!entry)
			continue;
		add_owned(entry.get(), "configured", json_ref(member(element, "configured")));
		add_owned(entry.get(), "up", json_ref(member(olsr, "up")));
		add_owned(entry.get(), "ipAddress", json_ref(member(olsr, "ipAddress")));
		add_owned(entry.get(), "mode", json_ref(member(olsr, "mode")));
		// A later element of the same name replaces the earlier entry.
		add_owned(table, name, entry.release());
	}
	return table;
}

json_object *nodeinfo_olsr2_version_from_answer(json_object *answer) {
	json_object *versions = array_member(answer, "version");
	if (length_of(versions) == 0)
		return nullptr;
	return json_ref(member(json_object_array_get_idx(versions, 0), "version_text"));
}

json_object *nodeinfo_olsr2_addresses_from_answer(json_object *answer) {
	json_object *addresses = json_object_new_array();
	if (addresses == nullptr)
		return nullptr;
	json_object *elements = array_member(answer, "originator");
	for (size_t i = 0, n = length_of(elements); i < n; i++) {
		json_object *originator = member(json_object_array_get_idx(elements, i), "originator");
		const char *text = text_of(originator);
		// "-" stands for no originator.
		if (text != nullptr && text[0] != '-')
			append_owned(addresses, json_ref(originator));
	}
	return addresses;
}

json_object *nodeinfo_olsr2_table_from_answer(json_object *answer) {
	json_object *table = json_object_new_object();
	if (table == nullptr)
		return nullptr;
	json_object *elements = array_member(answer, "interface");
	for (size_t i = 0, n = length_of(elements); i < n; i++) {
		json_object *element = json_object_array_get_idx(elements, i);
		const char *name = text_of(member(element, "if"));
		if (name == nullptr)
			continue;
		JsonPtr entry(json_object_new_object());
		if (!entry)
			continue;
		add_owned(entry.get(), "mac", json_ref(member(element, "if_mac")));
		add_owned(entry.get(), "v4", bind_address(element, "if_bindto_v4"));
		add_owned(entry.get(), "v6", bind_address(element, "if_bindto_v6"));
		add_owned(table, name, entry.release());
	}
	return table;
}

json_object *nodeinfo_interface_classes(const char *name) {
	if (!safe_interface_name(name))
		return nullptr;
	JsonPtr wireless(json_object_new_array());
	JsonPtr wired(json_object_new_array());
	JsonPtr tunnel(json_object_new_array());
	JsonPtr other(json_object_new_array());
	if (!wireless || !wired || !tunnel || !other)
		return nullptr;
	classify_with_lower(name, wireless.get(), wired.get(), tunnel.get(), other.get());

	json_object *classes = json_object_new_object();
	if (classes == nullptr)
		return nullptr;
	add_if_nonempty(classes, interface_class_name(kClassWireless), wireless.release());
	add_if_nonempty(classes, interface_class_name(kClassWired), wired.release());
	add_if_nonempty(classes, interface_class_name(kClassTunnel), tunnel.release());
	add_if_nonempty(classes, interface_class_name(kClassOther), other.release());
	return classes;
}

// ---- the provider ---------------------------------------------------------

void attach_interface_table(json_object *daemon, json_object *table, const char *key,
                            json_object *network_interfaces) {
	// When the table cannot be added (it is released then), the daemon
	// contributes nothing to the network interfaces either.
	if (table == nullptr || !add_owned(daemon, "interfaces", table))
		return;
	for_each_member(table, [&](const char *name, json_object *entry) {
		if (json_object *shared = object_member(network_interfaces, name))
			add_shared(shared, key, entry);
	});
}

json_object *provider_nodeinfo(void) {
	DaemonState state;
	if (oi(&state) != 0)
		return nullptr;
	JsonPtr document(json_object_new_object());
	if (!document)
		return nullptr;

	// The skeleton is always present; a document without it would be
	// malformed, so failing to build it fails the provider.
	json_object *network = add_new(document.get(), "network", json_object_new_object());
	if (network == nullptr)
		return nullptr;
	json_object *addresses = add_new(network, "addresses", json_object_new_array());
	json_object *interfaces = add_new(network, "interfaces", json_object_new_object());
	json_object *mesh = add_new(network, "mesh", json_object_new_object());
	json_object *software = add_new(document.get(), "software", json_object_new_object());
	if (addresses == nullptr || interfaces == nullptr || mesh == nullptr || software == nullptr)
		return nullptr;

	const NodeinfoDaemon &olsrd = kNodeinfoDaemons[0], &olsrd2 = kNodeinfoDaemons[1];
	if (state.olsr1_enabled)
		add_new(software, olsrd.key,
		        daemon_software(olsrd, state.olsr1_running, addresses, interfaces));
	if (state.olsr2_enabled)
		add_new(software, olsrd2.key,
		        daemon_software(olsrd2, state.olsr2_running, addresses, interfaces));
	add_mesh(interfaces, mesh);
	return document.release();
}
