// The node's facts as NetJSON and as Prometheus text, made from the
// documents: nothing here asks a daemon or reads an answer; what the
// forms hold beyond the documents (host name, time, load, memory) comes
// from the kernel.
#include "forms.h"

#include <errno.h>
#include <fcntl.h>
#include <json-c/json.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "cache.h"
#include "holders.h"
#include "json_helpers.h"
#include "json_output.h"
#include "nodeinfo.h"
#include "statistics.h"
#include "tarvik.h"

namespace kavond {

using namespace tarvik;

namespace {

// Each daemon of nodeinfo's daemon table as NetJSON and the labels name
// it, and the name of the metric its links' cost is in: olsrd's ETX, and
// for olsrd2, whose answers name none, the neighbours document's "etx"
// (olsrd2's link_vtime, or its mean with olsrd's ETX for a neighbour both
// daemons see).
struct Protocol {
	const char *name;
	const char *metric;
};
constexpr Protocol kProtocols[] = {{"olsrv1", "ETX"}, {"olsrv2", "etx"}};
static_assert(sizeof kProtocols / sizeof kProtocols[0] ==
              sizeof kNodeinfoDaemons / sizeof kNodeinfoDaemons[0]);
constexpr size_t kProtocolCount = sizeof kProtocols / sizeof kProtocols[0];

constexpr char kMetricPrefix[] = "olsr_kavond_";
constexpr size_t kHostNameSize = 65; // the kernel's 64 bytes and a NUL

// nodeinfo's object of daemon `i` when the daemon runs, else NULL.
json_object *running_daemon(json_object *state, size_t i) {
	json_object *software = member(member(member(state, kStateNodeinfo), "software"),
	                               kNodeinfoDaemons[i].key);
	return json_object_get_boolean(member(software, "running")) ? software : nullptr;
}

// Calls `fn(mac, record, address)` for each neighbour of the merged table
// that daemon `i` lists, by the address it gives.
template <class Fn>
void for_each_neighbour(json_object *state, size_t i, Fn fn) {
	char address_key[16];
	snprintf(address_key, sizeof address_key, "%s_ip", kNodeinfoDaemons[i].key);
	for_each_member(member(state, kStateNeighbours), [&](const char *mac, json_object *record) {
		if (const char *address = text_of(member(record, address_key)))
			fn(mac, record, address);
	});
}

// `value` when it is a number, NULL otherwise.
json_object *number(json_object *value) {
	return json_object_is_type(value, json_type_double) || json_object_is_type(value, json_type_int)
	           ? value
	           : nullptr;
}

// `value` when it is a finite number, NULL otherwise: NetJSON has no room
// for an infinite cost.
json_object *finite(json_object *value) {
	return number(value) != nullptr && isfinite(json_object_get_double(value)) ? value : nullptr;
}

void host_name(char (&name)[kHostNameSize]) {
	if (gethostname(name, sizeof name) != 0)
		name[0] = '\0';
	name[sizeof name - 1] = '\0';
}

// ---- NetJSON ----------------------------------------------------------

bool add_text(json_object *object, const char *key, const char *text) {
	return add_new(object, key, json_object_new_string(text)) != nullptr;
}

// A neighbour's properties: its MAC, the local interface it was seen on,
// and for a link its tq when that is a finite number.
json_object *neighbour_properties(const char *mac, json_object *record, bool link) {
	JsonPtr properties(json_object_new_object());
	if (!properties)
		return nullptr;
	if (json_object *tq = link ? finite(member(record, "tq")) : nullptr)
		if (!add_shared(properties.get(), "tq", tq))
			return nullptr;
	json_object *ifname = member(record, "ifname");
	if (!add_text(properties.get(), "mac", mac) ||
	    (text_of(ifname) != nullptr && !add_shared(properties.get(), "interface", ifname)))
		return nullptr;
	return properties.release();
}

// Adds the node of a neighbour and, when its cost is a finite number, its
// link from `self`. A link without a finite cost (olsrd: a quality of 0)
// is left out: NetJSON requires a number.
bool add_neighbour(json_object *nodes, json_object *links, const char *self, const char *mac,
                   json_object *record, const char *address) {
	JsonPtr node(json_object_new_object());
	if (!node || !add_text(node.get(), "id", address) ||
	    !add_owned(node.get(), "properties", neighbour_properties(mac, record, false)) ||
	    !append_owned(nodes, node.release()))
		return false;
	json_object *cost = finite(member(record, "etx"));
	if (cost == nullptr)
		return true;
	JsonPtr link(json_object_new_object());
	return link && add_text(link.get(), "source", self) && add_text(link.get(), "target", address) &&
	       add_shared(link.get(), "cost", cost) &&
	       add_owned(link.get(), "properties", neighbour_properties(mac, record, true)) &&
	       append_owned(links, link.release());
}

// The NetworkGraph of daemon `i`, which runs (`software`: its nodeinfo
// object). The node itself is its router id, the first address nodeinfo
// lists for the daemon, or the host name when it lists none.
json_object *graph_of(json_object *state, size_t i, json_object *software, const char *hostname) {
	JsonPtr graph(json_object_new_object());
	if (!graph)
		return nullptr;
	const char *version = text_of(member(software, "version"));
	json_object *addresses = array_member(software, "addresses");
	const char *router =
	    length_of(addresses) != 0 ? text_of(json_object_array_get_idx(addresses, 0)) : nullptr;
	const char *self = router != nullptr ? router : hostname;
	if (!add_text(graph.get(), "type", "NetworkGraph") ||
	    !add_text(graph.get(), "protocol", kProtocols[i].name) ||
	    !add_text(graph.get(), "version", version != nullptr ? version : "unknown") ||
	    !add_text(graph.get(), "metric", kProtocols[i].metric) ||
	    (router != nullptr && !add_text(graph.get(), "router_id", router)))
		return nullptr;
	json_object *nodes = add_new(graph.get(), "nodes", json_object_new_array());
	json_object *links = add_new(graph.get(), "links", json_object_new_array());
	JsonPtr node(json_object_new_object());
	if (nodes == nullptr || links == nullptr || !node || !add_text(node.get(), "id", self) ||
	    !add_text(node.get(), "label", hostname) || !append_owned(nodes, node.release()))
		return nullptr;
	bool complete = true;
	for_each_neighbour(state, i, [&](const char *mac, json_object *record, const char *address) {
		complete = complete && add_neighbour(nodes, links, self, mac, record, address);
	});
	return complete ? graph.release() : nullptr;
}

// The whole of /proc file `path` (at most `size` - 1 bytes) as a text;
// false when nothing could be read.
bool read_proc(const char *path, char *text, size_t size) {
	Fd fd(open(path, O_RDONLY | O_CLOEXEC));
	size_t got = 0;
	ssize_t n;
	while (fd && got < size - 1 && (n = read(fd.get(), text + got, size - 1 - got)) > 0)
		got += static_cast<size_t>(n);
	text[got] = '\0';
	return got != 0;
}

// The /proc/meminfo line "key: N kB" as bytes, or NULL.
json_object *meminfo_bytes(const char *meminfo, const char *key) {
	size_t length = strlen(key);
	for (const char *line = meminfo; *line != '\0';) {
		unsigned long long kib;
		if (strncmp(line, key, length) == 0 && line[length] == ':' &&
		    sscanf(line + length + 1, "%llu", &kib) == 1)
			return json_object_new_int64(static_cast<int64_t>(kib * 1024));
		const char *end = strchr(line, '\n');
		line = end != nullptr ? end + 1 : "";
	}
	return nullptr;
}

// "resources": load from /proc/loadavg, memory and swap (bytes) from
// /proc/meminfo; what cannot be read is left out.
json_object *resources() {
	JsonPtr resources(json_object_new_object());
	if (!resources)
		return nullptr;
	char text[8192];
	char load[3][16];
	// Each load is written as the kernel wrote it ("0.57"), not with the
	// 17 digits of its nearest double.
	if (read_proc("/proc/loadavg", text, sizeof text) &&
	    sscanf(text, "%15s %15s %15s", load[0], load[1], load[2]) == 3) {
		json_object *loads = add_new(resources.get(), "load", json_object_new_array());
		for (const char *value : load)
			if (loads == nullptr ||
			    !append_owned(loads, json_object_new_double_s(strtod(value, nullptr), value)))
				return nullptr;
	}
	if (!read_proc("/proc/meminfo", text, sizeof text))
		return resources.release();
	// NetJSON member, its object, /proc/meminfo key.
	constexpr const char *kMemory[][3] = {
	    {"total", "memory", "MemTotal"},  {"free", "memory", "MemFree"},
	    {"buffered", "memory", "Buffers"}, {"cache", "memory", "Cached"},
	    {"total", "swap", "SwapTotal"},   {"free", "swap", "SwapFree"},
	};
	for (const auto &row : kMemory) {
		json_object *bytes = meminfo_bytes(text, row[2]);
		json_object *object = bytes != nullptr ? object_member(resources.get(), row[1]) : nullptr;
		if (bytes != nullptr && (object == nullptr || !add_owned(object, row[0], bytes)))
			return nullptr;
	}
	return resources.release();
}

// "general": host name, local time and uptime in seconds.
json_object *general() {
	JsonPtr general(json_object_new_object());
	char hostname[kHostNameSize];
	host_name(hostname);
	char text[128];
	double uptime;
	if (!general || !add_text(general.get(), "hostname", hostname) ||
	    !add_new(general.get(), "local_time", json_object_new_int64(time(nullptr))))
		return nullptr;
	if (read_proc("/proc/uptime", text, sizeof text) && sscanf(text, "%lf", &uptime) == 1 &&
	    !add_new(general.get(), "uptime", json_object_new_int64(static_cast<int64_t>(uptime))))
		return nullptr;
	return general.release();
}

// The traffic directions of the statistics document, the words Prometheus
// names them by, and the counters of each.
constexpr const char *kDirections[][2] = {{"rx", "receive"}, {"tx", "transmit"}};
constexpr const char *kCounters[] = {"bytes", "packets", "dropped", "errors"};

// "interfaces": local-port with the statistics document's counters as
// NetJSON names them (rx_bytes, ...); empty when the document has none.
json_object *interfaces(json_object *traffic) {
	JsonPtr interfaces(json_object_new_array());
	if (!interfaces || !json_object_is_type(traffic, json_type_object))
		return interfaces.release();
	JsonPtr interface(json_object_new_object());
	json_object *statistics = interface && add_text(interface.get(), "name", kTrafficInterface)
	                              ? add_new(interface.get(), "statistics", json_object_new_object())
	                              : nullptr;
	if (statistics == nullptr)
		return nullptr;
	for (const auto &direction : kDirections)
		for (const char *counter : kCounters) {
			char name[32];
			snprintf(name, sizeof name, "%s_%s", direction[0], counter);
			json_object *value = member(member(traffic, direction[0]), counter);
			if (number(value) != nullptr && !add_shared(statistics, name, value))
				return nullptr;
		}
	if (!append_owned(interfaces.get(), interface.release()))
		return nullptr;
	return interfaces.release();
}

// ---- Prometheus -------------------------------------------------------

// Writes "# HELP" and "# TYPE" of family `name`.
void family(FILE *out, const char *name, const char *type, const char *help) {
	fprintf(out, "# HELP %s%s %s\n# TYPE %s%s %s\n", kMetricPrefix, name, help, kMetricPrefix,
	        name, type);
}

// Writes `, name="value"` (without the comma for the first label), the
// value escaped as the format asks: backslash, double quote, line feed.
void label(FILE *out, bool first, const char *name, const char *value) {
	fprintf(out, "%s%s=\"", first ? "" : ",", name);
	for (const char *c = value; *c != '\0'; c++) {
		if (*c == '\\' || *c == '"')
			fputc('\\', out);
		if (*c == '\n')
			fputs("\\n", out);
		else
			fputc(*c, out);
	}
	fputc('"', out);
}

// Writes a sample's value, `number` (a JSON number) as the document holds
// it: integers in full (unsigned 64-bit counters included), other numbers
// with 17 digits, infinities as +Inf and -Inf, NaN as NaN.
void value(FILE *out, json_object *number) {
	if (json_object_is_type(number, json_type_int)) {
		int64_t signed_value = json_object_get_int64(number);
		if (signed_value < 0)
			fprintf(out, " %lld\n", static_cast<long long>(signed_value));
		else
			fprintf(out, " %llu\n", static_cast<unsigned long long>(json_object_get_uint64(number)));
		return;
	}
	double v = json_object_get_double(number);
	if (isnan(v))
		fputs(" NaN\n", out);
	else if (isinf(v))
		fputs(v > 0 ? " +Inf\n" : " -Inf\n", out);
	else
		fprintf(out, " %.17g\n", v);
}

// The link gauges (tq, cost) of every running daemon's neighbours.
void link_family(FILE *out, json_object *state, const char *name, const char *key,
                 const char *help) {
	family(out, name, "gauge", help);
	for (size_t i = 0; i < kProtocolCount; i++) {
		if (running_daemon(state, i) == nullptr)
			continue;
		for_each_neighbour(state, i, [&](const char *mac, json_object *record, const char *address) {
			json_object *sample = number(member(record, key));
			if (sample == nullptr)
				return;
			fprintf(out, "%s%s{", kMetricPrefix, name);
			label(out, true, "daemon", kProtocols[i].name);
			label(out, false, "mac", mac);
			label(out, false, "address", address);
			fputc('}', out);
			value(out, sample);
		});
	}
}

void write_prometheus(FILE *out, json_object *state) {
	family(out, "info", "gauge", "Routing daemons that run, with their versions (always 1).");
	for (size_t i = 0; i < kProtocolCount; i++) {
		json_object *software = running_daemon(state, i);
		if (software == nullptr)
			continue;
		const char *version = text_of(member(software, "version"));
		fprintf(out, "%sinfo{", kMetricPrefix);
		label(out, true, "daemon", kProtocols[i].name);
		label(out, false, "version", version != nullptr ? version : "unknown");
		fputs("} 1\n", out);
	}

	json_object *statistics = member(state, kStateStatistics);
	family(out, "clients", "gauge", "Roaming clients that zistad counts.");
	if (json_object *clients = number(member(member(statistics, "clients"), "total"))) {
		fprintf(out, "%sclients", kMetricPrefix);
		value(out, clients);
	}

	json_object *traffic = member(statistics, "traffic");
	for (const auto &direction : kDirections)
		for (const char *counter : kCounters) {
			char name[64], help[96];
			snprintf(name, sizeof name, "interface_%s_%s_total", direction[1], counter);
			snprintf(help, sizeof help, "Traffic counter of the client port: %s %s.", direction[1],
			         counter);
			family(out, name, "counter", help);
			if (json_object *sample = number(member(member(traffic, direction[0]), counter))) {
				fprintf(out, "%s%s{", kMetricPrefix, name);
				label(out, true, "interface", kTrafficInterface);
				fputc('}', out);
				value(out, sample);
			}
		}

	link_family(out, state, "link_tq", "tq",
	            "Link quality to a direct neighbour, 0 to 255, as olsrd measures it.");
	link_family(out, state, "link_cost", "etx",
	            "Cost of the link to a direct neighbour (ETX; +Inf: no link).");
}

// ---- the forms' table ---------------------------------------------------

int print_json(json_object *doc, const char *what) {
	const char *text = doc != nullptr ? json_output_text(doc) : nullptr;
	if (text == nullptr) {
		fprintf(stderr, "olsr-kavond: cannot build the %s\n", what);
		return 1;
	}
	if (fputs(text, stdout) < 0 || fputc('\n', stdout) < 0 || fflush(stdout) != 0) {
		fprintf(stderr, "olsr-kavond: cannot write the %s\n", what);
		return 1;
	}
	return 0;
}

int emit_graph(json_object *state, const char *) {
	char hostname[kHostNameSize];
	host_name(hostname);
	JsonPtr doc(netjson_graph(state, hostname));
	return print_json(doc.get(), "NetJSON graph");
}

int emit_monitoring(json_object *state, const char *) {
	JsonPtr doc(netjson_monitoring(state));
	return print_json(doc.get(), "NetJSON monitoring object");
}

int emit_prometheus(json_object *state, const char *dir) {
	TextPtr text(prometheus_text(state));
	if (!text) {
		fprintf(stderr, "olsr-kavond: cannot build the Prometheus text\n");
		return 1;
	}
	if (dir == nullptr) {
		if (fputs(text.get(), stdout) >= 0 && fflush(stdout) == 0)
			return 0;
		fprintf(stderr, "olsr-kavond: cannot write the Prometheus text\n");
		return 1;
	}
	size_t size = strlen(dir) + sizeof kPrometheusFile + 1;
	TextPtr path(static_cast<char *>(malloc(size)));
	if (!path) {
		fprintf(stderr, "olsr-kavond: cannot build the Prometheus text\n");
		return 1;
	}
	snprintf(path.get(), size, "%s/%s", dir, kPrometheusFile);
	if (!store_text_file(path.get(), text.get(), strlen(text.get()))) {
		fprintf(stderr, "olsr-kavond: cannot write %s: %s\n", path.get(), strerror(errno));
		return 1;
	}
	return 0;
}

} // namespace

const Form kForms[] = {
    {"--netjson", "graph", gather_all, emit_graph,
     "NetJSON NetworkCollection: a graph per daemon"},
    {"--netjson", "monitoring", gather_statistics, emit_monitoring,
     "NetJSON DeviceMonitoring: host and client port"},
    {"--prometheus", "", gather_all, emit_prometheus,
     "the same facts as Prometheus text (0.0.4)"},
    {"--prometheus-textfile", nullptr, gather_all, emit_prometheus,
     "that text, stored in DIR/olsr_kavond.prom"},
};
const size_t kFormCount = sizeof kForms / sizeof kForms[0];

bool is_form_option(const char *option) {
	for (const Form &form : kForms)
		if (strcmp(form.option, option) == 0)
			return true;
	return false;
}

const Form *find_form(int words, char *const *args) {
	for (const Form &form : kForms) {
		if (words < 1 || strcmp(form.option, args[0]) != 0)
			continue;
		bool alone = form.argument != nullptr && form.argument[0] == '\0';
		if (alone ? words == 1
		          : words == 2 && args[1][0] != '\0' &&
		                (form.argument == nullptr || strcmp(form.argument, args[1]) == 0))
			return &form;
	}
	return nullptr;
}

json_object *netjson_graph(json_object *state, const char *hostname) {
	JsonPtr doc(json_object_new_object());
	json_object *collection = doc && add_text(doc.get(), "type", "NetworkCollection")
	                              ? add_new(doc.get(), "collection", json_object_new_array())
	                              : nullptr;
	if (collection == nullptr)
		return nullptr;
	for (size_t i = 0; i < kProtocolCount; i++)
		if (json_object *software = running_daemon(state, i))
			if (!append_owned(collection, graph_of(state, i, software, hostname)))
				return nullptr;
	return doc.release();
}

json_object *netjson_monitoring(json_object *state) {
	json_object *statistics = member(state, kStateStatistics);
	JsonPtr doc(json_object_new_object());
	if (!doc || !add_text(doc.get(), "type", "DeviceMonitoring") ||
	    !add_owned(doc.get(), "general", general()) ||
	    !add_owned(doc.get(), "resources", resources()) ||
	    !add_owned(doc.get(), "interfaces", interfaces(member(statistics, "traffic"))))
		return nullptr;
	// zistad's clients as the statistics document holds them ("total" and
	// "list"); left out when zistad did not answer.
	json_object *clients = member(statistics, "clients");
	if (clients != nullptr && !add_shared(doc.get(), "clients", clients))
		return nullptr;
	return doc.release();
}

char *prometheus_text(json_object *state) {
	char *text = nullptr;
	size_t size = 0;
	FILE *out = open_memstream(&text, &size);
	if (out == nullptr)
		return nullptr;
	write_prometheus(out, state);
	bool failed = ferror(out) != 0;
	if (fclose(out) != 0 || failed) {
		free(text);
		return nullptr;
	}
	return text;
}

json_object *gather_all(void) {
	JsonPtr state(json_object_new_object());
	if (!state || !add_new(state.get(), kStateNodeinfo, provider_nodeinfo()) ||
	    !add_new(state.get(), kStateNeighbours, get_merged_neighs()) ||
	    !add_new(state.get(), kStateStatistics, provider_statistics()))
		return nullptr;
	return state.release();
}

json_object *gather_statistics(void) {
	JsonPtr state(json_object_new_object());
	if (!state || !add_new(state.get(), kStateStatistics, provider_statistics()))
		return nullptr;
	return state.release();
}

} // namespace kavond
