// olsr-kavond --check: walks the path that the documents take and says,
// stage by stage, what works and what does not, with a hint for each
// fault. An operator runs it over ssh on the router when the mesh map
// shows the node without neighbours or with stale figures.
//
// Each stage runs in a child process of its own and reports back over a
// pipe: lines to print as they stand, and facts (lines beginning with
// "@") that later stages build on: which daemons the site enables, which
// run and answer. The library's queries have no time-out shorter than the
// documents' 300 s, so the parent kills a stage's child (and its process
// group: an init script it started) at the stage's deadline and reports
// what it was doing. Everything is read through the library's exported
// functions, the providers' functions and the utility library, as the
// documents read it; nothing is written.
#include "check.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <errno.h>

#include "holders.h"
#include "json_helpers.h"
#include "nodeinfo_answers.h"
#include "plovanutil.h"
#include "providers.h"
#include "tarvik.h"

using namespace tarvik;

namespace {

// ---- what is checked ------------------------------------------------------

struct Daemon {
	const char *name;
	const char *section;  // its section under "mesh" -> "olsrd"
	const char *script;   // its init script, asked with "running"
	const char *endpoint; // where its HTTP interface listens
	const char *version_command;
	int (*query)(const char *, json_object **);
	json_object *(*version_of)(json_object *answer);
	json_object *(*interfaces)(void);
	const char *listener; // what should listen at the endpoint
};

const Daemon kDaemons[2] = {
    {"olsrd", "v1_4", "/etc/init.d/olsrd", "127.0.0.1:9090", "version", olsr1_get_nodeinfo,
     nodeinfo_olsr1_version_from_answer, olsr1_get_interfaces, "its JSON info plugin"},
    {"olsrd2", "v2", "/etc/init.d/olsrd2", "127.0.0.1:1980", "systeminfo jsonraw version",
     olsr2_get_nodeinfo, nodeinfo_olsr2_version_from_answer, olsr2_get_interfaces,
     "its telnet plugin (over HTTP)"},
};
constexpr int kOlsr1 = 0;
constexpr int kOlsr2 = 1;

const char *const kCacheNames[] = {"nodeinfo", "statistics", "neighbours"};
// A cache file older than this is stale: a refresh every few minutes is
// what keeps the responder's documents current.
constexpr long kCacheMaxAge = 10 * 60;

constexpr char kZistadSocket[] = "/var/run/zistad.sock";

// Stage deadlines. A stage that sends ARP probes gets more time per probe
// it announces: its own probe and the document's, each waiting up to 1 s.
constexpr int kSiteMs = 3000;
constexpr int kDaemonMs = 5000;
constexpr int kNeighboursMs = 5000;
constexpr int kPerProbeMs = 2200;
constexpr int kMaxStageMs = 60000;
constexpr int kInterfacesMs = 5000;
constexpr int kStatisticsMs = 3000;
constexpr int kCacheMs = 3000;

// What earlier stages found out, for the later ones (a stage's child sees
// the parent's copy as it was at the fork).
struct Facts {
	bool config = false;     // the site configuration has "mesh" -> "olsrd"
	bool enabled[2] = {};
	bool running[2] = {};
	bool answers[2] = {};    // its HTTP interface answered with JSON
	bool late[2] = {};       // its stage did not end by the deadline
};

int64_t monotonic_ms() {
	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// ---- the lines of a stage ---------------------------------------------------

// No line is longer: the check is read in a terminal on the router.
constexpr size_t kWidth = 79;

enum Level { kOk, kWarn, kFail };

const char *lead(Level level) {
	switch (level) {
	case kOk:
		return "ok   ";
	case kWarn:
		return "warn ";
	default:
		return "FAIL ";
	}
}

// A text from outside (a daemon's answer, an interface name) made fit for
// the terminal: control characters and bytes outside ASCII become "?",
// and a text longer than `max` characters is cut, ending in "...".
class Clean {
public:
	explicit Clean(const char *text, size_t max = 40) {
		if (text == nullptr)
			text = "(none)";
		if (max > sizeof buf_ - 1)
			max = sizeof buf_ - 1;
		size_t n = 0;
		for (; text[n] != '\0' && n < max; n++) {
			unsigned char c = static_cast<unsigned char>(text[n]);
			buf_[n] = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
		}
		if (text[n] != '\0' && n >= 3)
			memcpy(buf_ + n - 3, "...", 3);
		buf_[n] = '\0';
	}
	const char *c_str() const { return buf_; }

private:
	char buf_[80];
};

// Formats into a fixed buffer; a text that does not fit is cut.
class Text {
public:
	__attribute__((format(printf, 2, 3))) Text &add(const char *format, ...) {
		va_list ap;
		va_start(ap, format);
		int n = vsnprintf(buf_ + len_, sizeof buf_ - len_, format, ap);
		va_end(ap);
		if (n > 0)
			len_ = len_ + static_cast<size_t>(n) < sizeof buf_ ? len_ + n : sizeof buf_ - 1;
		return *this;
	}
	const char *c_str() const { return buf_; }
	bool empty() const { return len_ == 0; }

private:
	char buf_[1024] = "";
	size_t len_ = 0;
};

// Splits `text` into lines of at most kWidth columns: the first begins
// with `first`, each further one with `rest` (both shorter than a line).
// Breaks at blanks; a word longer than a line is cut. "\n" in `text`
// starts a new line.
template <class Emit>
void wrap(const char *first, const char *rest, const char *text, Emit emit) {
	char out[kWidth + 1];
	const char *prefix = first;
	const char *p = text;
	for (;;) {
		size_t start = strlen(prefix);
		memcpy(out, prefix, start);
		size_t len = start;
		while (*p == ' ')
			p++;
		while (*p != '\0' && *p != '\n') {
			size_t word = strcspn(p, " \n");
			size_t gap = len > start ? 1 : 0;
			if (len + gap + word <= kWidth) {
				if (gap)
					out[len++] = ' ';
				memcpy(out + len, p, word);
				len += word;
				p += word;
				while (*p == ' ')
					p++;
			} else {
				if (len == start) { // a word longer than a line
					memcpy(out + len, p, kWidth - len);
					p += kWidth - len;
					len = kWidth;
				}
				break;
			}
		}
		emit(out, len);
		if (*p == '\n')
			p++;
		if (*p == '\0')
			return;
		prefix = rest;
	}
}

// The lines of one stage, written by its child to the pipe: each line in
// one write, so the parent never sees half a line of a killed child.
class Report {
public:
	explicit Report(int fd) : fd_(fd) {}

	__attribute__((format(printf, 3, 4))) void line(Level level, const char *format, ...) {
		va_list ap;
		va_start(ap, format);
		char text[1024];
		vsnprintf(text, sizeof text, format, ap);
		va_end(ap);
		wrap(lead(level), "     ", text, [this](const char *s, size_t n) { put(s, n); });
	}
	// Further lines of the finding above, indented.
	void detail(const char *text) {
		wrap("     ", "     ", text, [this](const char *s, size_t n) { put(s, n); });
	}
	// The hint of a warn or FAIL: what to look at or run.
	__attribute__((format(printf, 2, 3))) void hint(const char *format, ...) {
		va_list ap;
		va_start(ap, format);
		char text[1024];
		vsnprintf(text, sizeof text, format, ap);
		va_end(ap);
		wrap("     hint: ", "           ", text, [this](const char *s, size_t n) { put(s, n); });
	}
	// A fact for the parent: "@NAME VALUE".
	void fact(const char *name, const char *value) {
		char text[256];
		int n = snprintf(text, sizeof text, "@%s %s", name, value);
		if (n > 0)
			put(text, static_cast<size_t>(n) < sizeof text ? n : sizeof text - 1);
	}
	void fact(const char *name, int index, bool value) {
		char text[16];
		snprintf(text, sizeof text, "%d %d", index, value ? 1 : 0);
		fact(name, text);
	}
	// What the stage is doing now, named should its deadline pass, and
	// the hint to give then (else the stage's own).
	void doing(const char *what, const char *late_hint = nullptr) {
		fact("at", what);
		if (late_hint != nullptr)
			fact("late", late_hint);
	}

private:
	void put(const char *s, size_t n) {
		char out[kWidth + 2 > 260 ? kWidth + 2 : 260];
		if (n > sizeof out - 1)
			n = sizeof out - 1;
		memcpy(out, s, n);
		out[n++] = '\n';
		size_t done = 0;
		while (done < n) {
			ssize_t w = write(fd_, out + done, n - done);
			if (w < 0 && errno == EINTR)
				continue;
			if (w <= 0)
				return;
			done += static_cast<size_t>(w);
		}
	}
	int fd_;
};

// ---- helpers over JSON ----------------------------------------------------

size_t members(json_object *object) {
	return json_object_is_type(object, json_type_object)
	           ? static_cast<size_t>(json_object_object_length(object))
	           : 0;
}

// ---- stage 1: site configuration ----------------------------------------

void stage_site(const Facts &, Report &r, int) {
	JsonPtr config(plovanutil_load_site_config());
	if (!config) {
		r.line(kFail, "site configuration: none could be loaded");
		r.hint("nodeinfo and neighbours fail without it: check the firmware's site "
		       "configuration (site.json) exists and holds a JSON object");
		return;
	}
	json_object *olsrd = member(member(config.get(), "mesh"), "olsrd");
	if (olsrd == nullptr) {
		r.line(kFail, "site configuration: no \"mesh\" -> \"olsrd\" section");
		r.hint("nodeinfo and neighbours fail without it: add it, with \"v1_4\" and/or "
		       "\"v2\" -> \"enable\": true");
		return;
	}
	r.fact("config", "1");

	Text found;
	bool any = false;
	bool as_text = false;
	for (int d = 0; d < 2; d++) {
		// The rule of the daemon state: json-c's boolean reading, so a
		// number counts when nonzero and a text when it is not empty.
		json_object *enable = nullptr;
		bool given = json_object_object_get_ex(member(olsrd, kDaemons[d].section), "enable",
		                                        &enable);
		bool on = given && json_object_get_boolean(enable) != 0;
		any = any || on;
		found.add("%s%s %s", d ? ", " : "", kDaemons[d].name, on ? "enabled" : "not enabled");
		if (json_object_is_type(enable, json_type_string)) {
			as_text = true;
			found.add(" (\"enable\" is the text \"%s\")",
			          Clean(json_object_get_string(enable), 20).c_str());
		}
		r.fact("enabled", d, on);
	}
	if (as_text) {
		r.line(kWarn, "site configuration: %s", found.c_str());
		r.hint("a text counts as enabled unless it is empty, even \"false\": write true or "
		       "false without quotes");
	} else if (!any) {
		r.line(kWarn, "site configuration: %s", found.c_str());
		r.hint("the documents carry no routing data: set \"mesh\" -> \"olsrd\" -> \"v1_4\" "
		       "or \"v2\" -> \"enable\" to true");
	} else {
		r.line(kOk, "site configuration: %s", found.c_str());
	}
}

// ---- stage 2: each enabled daemon -----------------------------------------

void fetch_hint(Report &r, const Daemon &d, int code) {
	if (code == FETCH_ERR_CONNECT)
		r.hint("nothing listens on %s: is %s loaded, and set to listen there?", d.endpoint,
		       d.listener);
	else if (code == FETCH_ERR_TIMEOUT)
		r.hint("%s accepts but does not answer: restart %s", d.endpoint, d.name);
	else if (code == FETCH_ERR_NOT_JSON)
		r.hint("something answers on %s, but not with JSON: is it %s?", d.endpoint,
		       d.listener);
	else if (code & FETCH_ERR_HTTP)
		r.hint("%s refuses the command: check the plugin's access settings", d.name);
	else
		r.hint("the answer broke off or came malformed: restart %s and check again", d.name);
}

void stage_daemon(const Facts &, Report &r, int index) {
	const Daemon &d = kDaemons[index];
	if (access(d.script, X_OK) != 0) {
		r.line(kFail, "%s: enabled, but %s is missing", d.name, d.script);
		r.hint("install %s, or disable it in the site configuration", d.name);
		return;
	}
	Text doing, late;
	r.doing(doing.add("running \"%s running\"", d.script).c_str(),
	        late.add("the init script does not end: look into %s", d.script).c_str());
	if (!success_exit(d.script, "running", static_cast<char *>(nullptr))) {
		r.line(kFail, "%s: enabled, but not running (\"%s running\" says no)", d.name, d.script);
		r.hint("start it (%s start) and read its log; nodeinfo shows \"running\": false", d.script);
		return;
	}
	r.fact("running", index, true);

	Text asking, silent;
	r.doing(asking.add("asking %s \"%s\"", d.endpoint, d.version_command).c_str(),
	        silent.add("%s accepts but does not answer: restart %s", d.endpoint, d.name)
	            .c_str());
	json_object *got = nullptr;
	int64_t start = monotonic_ms();
	int code = d.query(d.version_command, &got);
	long took = static_cast<long>(monotonic_ms() - start);
	if (code != 0) {
		r.line(kFail, "%s: running, but \"%s\" on %s gives: %s (after %ld ms)", d.name,
		       d.version_command, d.endpoint, uclient_get_errmsg(code), took);
		fetch_hint(r, d, code);
		return;
	}
	JsonPtr answer(got);
	if (!answer) {
		r.line(kFail, "%s: running, but its answer to \"%s\" does not parse (after %ld ms)",
		       d.name, d.version_command, took);
		fetch_hint(r, d, FETCH_ERR_NOT_JSON);
		return;
	}
	r.fact("answers", index, true);
	JsonPtr version(d.version_of(answer.get()));
	if (!version) {
		r.line(kWarn, "%s: running, answers in %ld ms, but without a version", d.name, took);
		r.hint("nodeinfo lacks %s's version: is %s what answers on %s?", d.name, d.listener,
		       d.endpoint);
		return;
	}
	r.line(kOk, "%s: running, answers in %ld ms; version %s", d.name, took,
	       Clean(json_object_get_string(version.get())).c_str());
}

// ---- stage 3: neighbours --------------------------------------------------

// Whether `list` resolves (device, ip) without a probe, by the library's
// own rule: an entry without hardware address (an incomplete kernel row,
// all zeros) answers no lookup, so such a neighbour is probed.
bool resolves(ArpEntry *list, const char *device, const char *ip) {
	return TextPtr(resolve_mac(list, device, ip, 0)) != nullptr;
}

struct ArpList {
	ArpEntry *head = nullptr;
	~ArpList() { cleanup_arp_cache(head); }
};

// olsrd's links, and how each got (or did not get) its MAC address: from
// the ARP table, else by one ARP probe, as the document resolves them.
// False when olsrd's neighbour table cannot be had.
bool olsr1_links(Report &r) {
	r.doing("asking 127.0.0.1:9090 \"links\"");
	json_object *got = nullptr;
	int code = olsr1_get_nodeinfo("links", &got);
	JsonPtr answer(code == 0 ? got : nullptr);
	json_object *links = member(answer.get(), "links");
	if (code != 0 || !json_object_is_type(links, json_type_array)) {
		r.line(kFail, "olsrd neighbours: \"links\" %s",
		       code != 0 ? uclient_get_errmsg(code) : "answered without a \"links\" list");
		r.hint("the neighbours document fails without olsrd's links: restart olsrd");
		return false;
	}
	ArpList arp;
	arp.head = read_arp_cache();

	size_t count = json_object_array_length(links);
	size_t from_table = 0, by_probe = 0, unusable = 0;
	// The links that need a probe, by index.
	size_t pending_count = 0;
	tarvik::MallocPtr<size_t> pending(static_cast<size_t *>(calloc(count + 1, sizeof(size_t))));
	if (!pending)
		return false;
	for (size_t i = 0; i < count; i++) {
		json_object *link = json_object_array_get_idx(links, i);
		const char *ifname = text_of(member(link, "ifName"));
		const char *ip = text_of(member(link, "remoteIP"));
		if (ifname == nullptr || ip == nullptr)
			unusable++;
		else if (resolves(arp.head, ifname, ip))
			from_table++;
		else
			pending.get()[pending_count++] = i;
	}

	char probes[16];
	snprintf(probes, sizeof probes, "%zu", pending_count);
	r.fact("probes", probes);
	r.doing("sending ARP requests for olsrd's links");
	Text missing;
	size_t named = 0;
	for (size_t k = 0; k < pending_count; k++) {
		json_object *link = json_object_array_get_idx(links, pending.get()[k]);
		const char *ifname = text_of(member(link, "ifName"));
		const char *ip = text_of(member(link, "remoteIP"));
		// The reply is looked up like the document looks up the entry a
		// probe appends to its list.
		ArpEntry *reply = test_arping(ifname, ip);
		bool found = resolves(reply, ifname, ip);
		cleanup_arp_cache(reply);
		if (found) {
			by_probe++;
			continue;
		}
		if (named < 8)
			missing.add("%s%s %s", named ? ", " : "", Clean(ifname, 16).c_str(),
			            Clean(ip, 40).c_str());
		else if (named == 8)
			missing.add(", ...");
		named++;
	}
	size_t no_mac = pending_count - by_probe;

	Level level = no_mac > 0 || count == 0 ? kWarn : kOk;
	r.line(level, "olsrd neighbours: %zu link%s; MAC from ARP table %zu, by ARP probe %zu, "
	       "none %zu%s", count, count == 1 ? "" : "s", from_table, by_probe, no_mac,
	       arp.head == nullptr ? " (ARP table empty)" : "");
	if (pending_count > 0)
		r.detail(Text()
		             .add("the check sent %zu ARP request%s, as the document does", pending_count,
		                  pending_count == 1 ? "" : "s")
		             .c_str());
	if (unusable > 0)
		r.detail(Text().add("%zu link%s without interface or address text, left out", unusable,
		                    unusable == 1 ? "" : "s")
		             .c_str());
	if (no_mac > 0) {
		r.detail(Text().add("no MAC, left out of the document: %s", missing.c_str()).c_str());
		r.hint("such a neighbour does not answer ARP there: is it still up? olsrd keeps a "
		       "link until it times out");
	} else if (count == 0) {
		r.hint("olsrd sees no neighbour: check the mesh interfaces (link, radio) and "
		       "olsrd's interface settings");
	}
	return true;
}

bool olsr2_links(Report &r) {
	r.doing("asking 127.0.0.1:1980 \"nhdpinfo jsonraw link\"");
	JsonPtr table(olsr2_get_neigh());
	if (!table) {
		r.line(kFail, "olsrd2 neighbours: \"nhdpinfo jsonraw link\" failed or has no \"link\"");
		r.hint("the neighbours document fails without olsrd2's links: restart olsrd2");
		return false;
	}
	size_t n = members(table.get());
	if (n == 0) {
		r.line(kWarn, "olsrd2 neighbours: none");
		r.hint("olsrd2 sees no neighbour: check the mesh interfaces (link, radio) and "
		       "olsrd2's interface settings");
		return true;
	}
	r.line(kOk, "olsrd2 neighbours: %zu", n);
	return true;
}

void stage_neighbours(const Facts &f, Report &r, int) {
	bool tables = true;
	if (f.running[kOlsr2] && f.answers[kOlsr2])
		tables = olsr2_links(r) && tables;
	if (f.running[kOlsr1] && f.answers[kOlsr1])
		tables = olsr1_links(r) && tables;

	// The document fails as a whole when a running daemon's table is
	// missing: no need to ask again a daemon that did not answer above.
	const char *silent = nullptr;
	for (int d = 0; d < 2; d++)
		if ((f.running[d] && !f.answers[d]) || f.late[d])
			silent = kDaemons[d].name;
	if (silent != nullptr || !tables) {
		r.line(kFail, "neighbours document: no merged table (%s)",
		       silent ? "a running daemon does not answer" : "a daemon's table is missing");
		r.hint("mend what the lines above name; olsr-kavond neighbours shows the document");
		return;
	}
	r.doing("building the merged neighbour table");
	JsonPtr merged(get_merged_neighs());
	if (!merged) {
		r.line(kFail, "neighbours document: no merged table");
		r.hint("run olsr-kavond neighbours: the document fails the same way");
		return;
	}
	r.line(kOk, "neighbours document: merged table of %zu", members(merged.get()));
}

// ---- stage 4: interfaces --------------------------------------------------

const char *class_name(int type) {
	switch (type) {
	case 1:
		return "wired";
	case 2:
		return "wireless";
	case 3:
		return "tunnel";
	default:
		return "other";
	}
}

// Null elements of the class lists: devices that nodeinfo files as null.
size_t null_addresses(json_object *classes) {
	size_t nulls = 0;
	for_each_member(classes, [&nulls](const char *, json_object *list) {
		for (size_t i = 0, n = json_object_array_length(list); i < n; i++)
			if (json_object_array_get_idx(list, i) == nullptr)
				nulls++;
	});
	return nulls;
}

void stage_interfaces(const Facts &f, Report &r, int) {
	// Every interface of the daemons' tables, in the order of nodeinfo's
	// "network" -> "interfaces" (olsrd's first), each once.
	JsonPtr names(json_object_new_object());
	if (!names)
		return;
	bool asked = false;
	for (int d = 0; d < 2; d++) {
		if (!f.running[d] || !f.answers[d])
			continue;
		asked = true;
		Text doing;
		r.doing(doing.add("asking %s for its interfaces", kDaemons[d].name).c_str());
		JsonPtr table(kDaemons[d].interfaces());
		if (!table) {
			r.line(kFail, "%s interfaces: the query failed", kDaemons[d].name);
			r.hint("nodeinfo lacks %s's interface table: restart %s", kDaemons[d].name,
			       kDaemons[d].name);
			continue;
		}
		for_each_member(table.get(), [&names](const char *name, json_object *) {
			if (strcmp(name, "lo") != 0 && member(names.get(), name) == nullptr)
				json_object_object_add(names.get(), name, json_object_new_boolean(1));
		});
	}
	if (asked && members(names.get()) == 0) {
		r.line(kWarn, "interfaces: the daemons list no mesh interface");
		r.hint("nodeinfo's \"network\" -> \"mesh\" stays empty: check the daemons' interface "
		       "settings");
		return;
	}
	r.doing("reading the interfaces' classes and hardware addresses");
	for_each_member(names.get(), [&r](const char *name, json_object *) {
		char lowest[16];
		plovanutil_get_interface_lower(lowest, name);
		const char *kind = class_name(plovanutil_get_interface_type(lowest));
		TextPtr address(plovanutil_get_interface_address(name));
		JsonPtr classes(nodeinfo_interface_classes(name));
		Clean shown(name, 16);
		if (!address && strcmp(kind, "tunnel") == 0) {
			// A tunnel has no hardware address to give.
			r.line(kOk, "interface %s: tunnel, no hardware address (null in nodeinfo)",
			       shown.c_str());
		} else if (!address) {
			r.line(kWarn, "interface %s: %s, no hardware address (null in nodeinfo)",
			       shown.c_str(), kind);
			r.hint("nodeinfo files it as null under \"network\" -> \"mesh\": check that %s "
			       "exists (ip link show %s)", shown.c_str(), shown.c_str());
		} else if (null_addresses(classes.get()) > 0) {
			r.line(kWarn, "interface %s: %s, %s; a device beneath it has no hardware address",
			       shown.c_str(), kind, Clean(address.get()).c_str());
			r.hint("nodeinfo files that device as null: see ls /sys/class/net/%s/", shown.c_str());
		} else {
			r.line(kOk, "interface %s: %s, %s", shown.c_str(), kind, Clean(address.get()).c_str());
		}
	});
}

// ---- stage 5: statistics --------------------------------------------------

void stage_statistics(const Facts &, Report &r, int) {
	r.doing("asking zistad for its clients");
	JsonPtr answer(socket_request_json(kZistadSocket, "get_clients"));
	if (answer) {
		json_object *clients = member(answer.get(), "clients");
		if (clients == nullptr) {
			r.line(kWarn, "zistad: answers, but without \"clients\"");
			r.hint("statistics shows \"total\": null: check zistad's version");
		} else {
			r.line(kOk, "zistad: answers; clients: %s",
			       Clean(json_object_get_string(clients), 20).c_str());
		}
	} else {
		// Asked once more for the reason: the descriptor, or why none.
		int rc = socket_request(kZistadSocket, "get_clients", nullptr);
		if (rc >= 0) {
			close(rc);
			r.line(kWarn, "zistad: its answer on %s is not JSON", kZistadSocket);
		} else {
			r.line(kWarn, "zistad: no answer on %s: %s", kZistadSocket, strerror(-rc));
		}
		r.hint("statistics shows \"clients\": null: is zistad running?");
	}

	r.doing("asking the kernel for the counters of local-port");
	link_stats64 *stats = nullptr;
	int rc = get_link_stats64(&stats);
	tarvik::MallocPtr<link_stats64> held(stats);
	if (rc == 0) {
		r.line(kOk, "local-port: rx %llu bytes, tx %llu bytes",
		       static_cast<unsigned long long>(held->rx_bytes),
		       static_cast<unsigned long long>(held->tx_bytes));
	} else if (rc == ENODATA) {
		r.line(kWarn, "local-port: no such interface, so statistics shows \"traffic\": null");
		r.hint("the client port must be named local-port: check the firmware's network "
		       "settings (ip link)");
	} else {
		r.line(kWarn, "local-port: counters not read: %s", strerror(rc));
		r.hint("statistics shows \"traffic\": null: check the kernel's netlink support");
	}
}

// ---- stage 6: cache files -------------------------------------------------

void add_age(Text &text, long seconds) {
	if (seconds < 60)
		text.add("%ld s", seconds);
	else if (seconds < 3600)
		text.add("%ld min", seconds / 60);
	else if (seconds < 2 * 86400)
		text.add("%ld h %ld min", seconds / 3600, seconds % 3600 / 60);
	else
		text.add("%ld days", seconds / 86400);
}

void cron_hint(Report &r, const char *name) {
	r.hint("run olsr-kavond --update %s periodically, from cron:\n"
	       "* * * * * /usr/bin/olsr-kavond --update %s",
	       name, name);
}

void stage_cache(const Facts &, Report &r, int) {
	for (const char *name : kCacheNames) {
		char path[40];
		if (!cache_file_path(name, path))
			continue; // cannot happen for these names
		struct stat st;
		if (lstat(path, &st) != 0) {
			if (errno == ENOENT)
				r.line(kWarn, "cache %s: missing (%s)", name, path);
			else
				r.line(kWarn, "cache %s: %s: %s", name, path, strerror(errno));
			cron_hint(r, name);
			continue;
		}
		if (!S_ISREG(st.st_mode)) {
			// The responder reads nothing but a regular file there.
			r.line(kFail, "cache %s: %s is not a regular file", name, path);
			r.hint("remove it (ls -l %s shows what it is); the next refresh writes the file",
			       path);
			continue;
		}
		if (const char *why = cache_file_refusal(&st)) {
			r.line(kFail, "cache %s: %s is not served: %s", name, path, why);
			r.hint("the next olsr-kavond --update %s replaces it; ls -l %s shows whose it is",
			       name, path);
			continue;
		}
		long age = static_cast<long>(time(nullptr) - st.st_mtime);
		if (age < 0)
			age = 0;
		Text found;
		found.add("%lld bytes, ", static_cast<long long>(st.st_size));
		add_age(found, age);
		found.add(" old");
		JsonPtr doc(make_safe(name));
		if (!doc) {
			r.line(kFail, "cache %s: %s does not parse (%s)", name, path, found.c_str());
			r.hint("the responder serves no %s: run /usr/bin/olsr-kavond --update %s and read "
			       "its message", name, name);
		} else if (age > kCacheMaxAge) {
			r.line(kWarn, "cache %s: parses, but stale (%s)", name, found.c_str());
			cron_hint(r, name);
		} else {
			r.line(kOk, "cache %s: parses (%s)", name, found.c_str());
		}
	}
}

// ---- running the stages -----------------------------------------------------

// The process group of the stage running now, for the signal handler: a
// check stopped by Ctrl-C or a closed terminal leaves no stage behind.
volatile sig_atomic_t g_stage_group = 0;

void stop_stage_and_die(int sig) {
	if (g_stage_group > 0)
		kill(-g_stage_group, SIGKILL);
	signal(sig, SIG_DFL);
	raise(sig);
}

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

using StageFn = void (*)(const Facts &, Report &, int);

class Runner {
public:
	bool failed() const { return failed_; }
	Facts facts;

	// Runs `fn` in a child with `deadline_ms`; `title` and `late_hint`
	// make the FAIL line should the deadline pass. False when the stage
	// did not end by itself (deadline, crash, no child).
	bool run(const char *title, int deadline_ms, const char *late_hint, StageFn fn, int arg = 0) {
		fflush(stdout); // else the child would inherit, and print, what is buffered
		int fds[2];
		if (pipe2(fds, O_CLOEXEC) != 0) {
			report_fail(title, "cannot start the stage", strerror(errno));
			return false;
		}
		pid_t child = fork();
		if (child < 0) {
			close(fds[0]);
			close(fds[1]);
			report_fail(title, "cannot start the stage", strerror(errno));
			return false;
		}
		if (child == 0) {
			close(fds[0]);
			setpgid(0, 0);
			for (int sig : kStopSignals)
				signal(sig, SIG_DFL);
			// What the library and the init scripts print goes to
			// standard error: standard output carries the check's lines.
			dup2(STDERR_FILENO, STDOUT_FILENO);
			Report report(fds[1]);
			fn(facts, report, arg);
			fflush(stdout);
			_exit(0);
		}
		setpgid(child, child);
		g_stage_group = child;
		close(fds[1]);
		tarvik::Fd from(fds[0]);
		bool ended = collect(from.get(), child, title, deadline_ms, late_hint);
		g_stage_group = 0;
		fflush(stdout);
		return ended;
	}

private:
	bool collect(int fd, pid_t child, const char *title, int deadline_ms, const char *late_hint) {
		const int64_t start = monotonic_ms();
		int64_t deadline = start + deadline_ms;
		char doing[256] = "";
		char hint[256] = "";
		char buf[4096];
		size_t used = 0;
		bool late = false;
		for (;;) {
			int64_t left = deadline - monotonic_ms();
			if (left <= 0) {
				late = true;
				break;
			}
			pollfd waiting = {fd, POLLIN, 0};
			int ready = poll(&waiting, 1, static_cast<int>(left));
			if (ready < 0 && errno == EINTR)
				continue;
			if (ready < 0)
				break;
			if (ready == 0) {
				late = true;
				break;
			}
			ssize_t n = read(fd, buf + used, sizeof buf - used);
			if (n < 0 && errno == EINTR)
				continue;
			if (n <= 0)
				break;
			used += static_cast<size_t>(n);
			size_t begin = 0;
			for (size_t i = 0; i < used; i++) {
				if (buf[i] != '\n')
					continue;
				buf[i] = '\0';
				take(buf + begin, doing, hint, start, deadline);
				begin = i + 1;
			}
			memmove(buf, buf + begin, used - begin);
			used -= begin;
			if (used == sizeof buf) // no line is this long; drop it
				used = 0;
		}

		if (late) {
			kill(-child, SIGKILL);
			kill(child, SIGKILL);
		}
		int status = 0;
		while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
		}
		if (late) {
			Text what;
			what.add("no result within %ld s", static_cast<long>((deadline - start + 999) / 1000));
			if (doing[0] != '\0')
				what.add(", while %s", doing);
			report_fail(title, what.c_str(), hint[0] != '\0' ? hint : late_hint);
		} else if (WIFSIGNALED(status)) {
			Text what;
			what.add("the stage ended by signal %d (%s)", WTERMSIG(status),
			         strsignal(WTERMSIG(status)));
			report_fail(title, what.c_str(), "run it again; if it stays, report it with the "
			                                 "lines above");
			return false;
		}
		return !late;
	}

	// One line from the child: a fact, or a line to print. `doing` and
	// `hint` hold 256 bytes.
	void take(const char *line, char *doing, char *hint, int64_t start, int64_t &deadline) {
		int index = 0, value = 0;
		if (line[0] != '@') {
			puts(line);
			if (strncmp(line, "FAIL", 4) == 0)
				failed_ = true;
		} else if (strncmp(line, "@at ", 4) == 0) {
			snprintf(doing, 256, "%s", line + 4);
			hint[0] = '\0';
		} else if (strncmp(line, "@late ", 6) == 0) {
			snprintf(hint, 256, "%s", line + 6);
		} else if (strcmp(line, "@config 1") == 0) {
			facts.config = true;
		} else if (sscanf(line, "@enabled %d %d", &index, &value) == 2 && index >= 0 &&
		           index < 2) {
			facts.enabled[index] = value != 0;
		} else if (sscanf(line, "@running %d %d", &index, &value) == 2 && index >= 0 &&
		           index < 2) {
			facts.running[index] = value != 0;
		} else if (sscanf(line, "@answers %d %d", &index, &value) == 2 && index >= 0 &&
		           index < 2) {
			facts.answers[index] = value != 0;
		} else if (sscanf(line, "@probes %d", &value) == 1 && value > 0) {
			// Each announced probe may take its time, but never without end.
			int64_t more = static_cast<int64_t>(value) * kPerProbeMs;
			deadline = deadline + more < start + kMaxStageMs ? deadline + more
			                                                 : start + kMaxStageMs;
		}
	}

	void report_fail(const char *title, const char *what, const char *hint) {
		char text[1024];
		snprintf(text, sizeof text, "%s: %s", title, what);
		wrap(lead(kFail), "     ", text, [](const char *s, size_t n) {
			fwrite(s, 1, n, stdout);
			putchar('\n');
		});
		wrap("     hint: ", "           ", hint, [](const char *s, size_t n) {
			fwrite(s, 1, n, stdout);
			putchar('\n');
		});
		failed_ = true;
	}

	bool failed_ = false;
};

} // namespace

int kavond_check(void) {
	for (int sig : kStopSignals)
		signal(sig, stop_stage_and_die);
	Runner run;
	run.run("site configuration", kSiteMs,
	        "loading the site configuration hangs: check the firmware's utility library",
	        stage_site);
	if (run.facts.config) {
		for (int d = 0; d < 2; d++) {
			if (!run.facts.enabled[d])
				continue;
			char hint[200];
			snprintf(hint, sizeof hint, "%s does not answer: restart it", kDaemons[d].name);
			// A daemon whose stage hung is not asked again: the later
			// stages would only hang on it too.
			if (!run.run(kDaemons[d].name, kDaemonMs, hint, stage_daemon, d))
				run.facts.late[d] = true;
		}
		run.run("neighbours", kNeighboursMs,
		        "a daemon or an ARP probe takes too long: run the check again",
		        stage_neighbours);
		run.run("interfaces", kInterfacesMs,
		        "a daemon takes too long to list its interfaces: restart it", stage_interfaces);
	}
	run.run("statistics", kStatisticsMs,
	        "zistad or the kernel does not answer: restart zistad", stage_statistics);
	run.run("cache files", kCacheMs, "reading /tmp takes too long: check the file system",
	        stage_cache);
	return run.failed() ? 1 : 0;
}
