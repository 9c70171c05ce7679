// olsr-kavond --check: walks the path that the documents take and says,
// stage by stage, what works and what does not, with a hint for each
// fault. An operator runs it over ssh on the router when the mesh map
// shows the node without neighbours or with stale figures.
//
// The stages are listed in one table and run by the stage runner
// (check_runner.h), each in a child process with a deadline. Everything is
// read through the library's exported functions, the documents' own
// functions and the utility library, with the facts and rules of common/,
// as the documents read it; nothing is written.
#include <errno.h>
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include "arp.h"
#include "cache.h"
#include "check.h"
#include "check_report.h"
#include "check_runner.h"
#include "clock.h"
#include "daemons.h"
#include "documents.h"
#include "facts.h"
#include "holders.h"
#include "json_helpers.h"
#include "neighbour_tables.h"
#include "nodeinfo_answers.h"
#include "plovanutil.h"
#include "nodeinfo.h"
#include "site.h"
#include "statistics.h"
#include "tarvik.h"

using namespace kavond;
using namespace tarvik;

namespace {

constexpr int kOlsr1 = 0;
constexpr int kOlsr2 = 1;

// The daemons as the nodeinfo document asks them, by index.
const DaemonFacts &facts_of(int daemon) { return *kNodeinfoDaemons[daemon].facts; }

// What should listen at the daemons' endpoints, by the same index; their
// names are in daemons.h.
static_assert(sizeof kDaemonNames / sizeof kDaemonNames[0] == kDaemonCount, "one per daemon");
constexpr const char *kListeners[kDaemonCount] = {"its JSON info plugin",
                                                  "its telnet plugin (over HTTP)"};
const char *name_of(int daemon) { return kDaemonNames[daemon]; }

// A cache file older than this is stale, and the responder serves an
// outdated document: a refresh every minute or few is what keeps the
// documents current.
constexpr long kCacheMaxAge = 10 * 60;

size_t members(json_object *object) {
	return json_object_is_type(object, json_type_object)
	           ? static_cast<size_t>(json_object_object_length(object))
	           : 0;
}

// ---- stage 1: site configuration ----------------------------------------

void stage_site(const FoundSoFar &, StageReport &r, int) {
	JsonPtr config(plovanutil_load_site_config());
	if (!config) {
		r.line(kFail, "site configuration: none could be loaded");
		r.hint("nodeinfo and neighbours fail without it: check the firmware's site "
		       "configuration (site.json) exists and holds a JSON object");
		return;
	}
	json_object *olsrd = site_olsrd_section(config.get());
	if (olsrd == nullptr) {
		r.line(kFail, "site configuration: no \"%s\" -> \"%s\" section", kSiteMesh, kSiteOlsrd);
		r.hint("nodeinfo and neighbours fail without it: add it, with \"%s\" and/or \"%s\" -> "
		       "\"%s\": true",
		       facts_of(kOlsr1).site_section, facts_of(kOlsr2).site_section, kSiteEnable);
		return;
	}
	r.config_found();

	Text found;
	bool any = false;
	bool as_text = false;
	for (int d = 0; d < kDaemonCount; d++) {
		// The daemon state's own rule.
		bool on = site_daemon_enabled(olsrd, facts_of(d));
		json_object *enable = site_enable_value(olsrd, facts_of(d));
		any = any || on;
		found.add("%s%s %s", d ? ", " : "", name_of(d), on ? "enabled" : "not enabled");
		if (json_object_is_type(enable, json_type_string)) {
			as_text = true;
			found.add(" (\"%s\" is the text \"%s\")", kSiteEnable,
			          Clean(json_object_get_string(enable), 20).c_str());
		}
		r.enabled(d, on);
	}
	if (as_text) {
		r.line(kWarn, "site configuration: %s", found.c_str());
		r.hint("a text counts as enabled unless it is empty, even \"false\": write true or "
		       "false without quotes");
	} else if (!any) {
		r.line(kWarn, "site configuration: %s", found.c_str());
		r.hint("the documents carry no routing data: set \"%s\" -> \"%s\" -> \"%s\" or \"%s\" "
		       "-> \"%s\" to true",
		       kSiteMesh, kSiteOlsrd, facts_of(kOlsr1).site_section,
		       facts_of(kOlsr2).site_section, kSiteEnable);
	} else {
		r.line(kOk, "site configuration: %s", found.c_str());
	}
}

// ---- stage 2: each enabled daemon -----------------------------------------

void fetch_hint(StageReport &r, int daemon, int code) {
	const DaemonFacts &d = facts_of(daemon);
	const char *name = name_of(daemon), *listener = kListeners[daemon];
	if (code == FETCH_ERR_CONNECT)
		r.hint("nothing listens on %s: is %s loaded, and set to listen there?", d.endpoint,
		       listener);
	else if (code == FETCH_ERR_TIMEOUT)
		r.hint("%s accepts but does not answer: restart %s", d.endpoint, name);
	else if (code == FETCH_ERR_NOT_JSON)
		r.hint("something answers on %s, but not with JSON: is it %s?", d.endpoint,
		       listener);
	else if (code & FETCH_ERR_HTTP)
		r.hint("%s refuses the command: check the plugin's access settings", name);
	else
		r.hint("the answer broke off or came malformed: restart %s and check again", name);
}

void stage_daemon(const FoundSoFar &, StageReport &r, int index) {
	const NodeinfoDaemon &asked = kNodeinfoDaemons[index];
	const DaemonFacts &d = *asked.facts;
	const char *name = name_of(index);
	if (access(d.init_script, X_OK) != 0) {
		r.line(kFail, "%s: enabled, but %s is missing", name, d.init_script);
		r.hint("install %s, or disable it in the site configuration", name);
		return;
	}
	Text doing, late;
	r.doing(doing.add("running \"%s %s\"", d.init_script, kInitRunning).c_str(),
	        late.add("the init script does not end: look into %s", d.init_script).c_str());
	if (!success_exit(d.init_script, kInitRunning, static_cast<char *>(nullptr))) {
		r.line(kFail, "%s: enabled, but not running (\"%s %s\" says no)", name, d.init_script,
		       kInitRunning);
		r.hint("start it (%s start) and read its log; nodeinfo shows \"running\": false", d.init_script);
		return;
	}
	r.running(index);

	Text asking, silent;
	r.doing(asking.add("asking %s \"%s\"", d.endpoint, d.version_command).c_str(),
	        silent.add("%s accepts but does not answer: restart %s", d.endpoint, name)
	            .c_str());
	json_object *got = nullptr;
	int64_t start = monotonic_ms();
	int code = asked.query(d.version_command, &got);
	long took = static_cast<long>(monotonic_ms() - start);
	if (code != 0) {
		r.line(kFail, "%s: running, but \"%s\" on %s gives: %s (after %ld ms)", name,
		       d.version_command, d.endpoint, uclient_get_errmsg(code), took);
		fetch_hint(r, index, code);
		return;
	}
	JsonPtr answer(got);
	if (!answer) {
		r.line(kFail, "%s: running, but its answer to \"%s\" does not parse (after %ld ms)",
		       name, d.version_command, took);
		fetch_hint(r, index, FETCH_ERR_NOT_JSON);
		return;
	}
	r.answers(index);
	JsonPtr version(asked.version_of(answer.get()));
	if (!version) {
		r.line(kWarn, "%s: running, answers in %ld ms, but without a version", name, took);
		r.hint("nodeinfo lacks %s's version: is %s what answers on %s?", name,
		       kListeners[index], d.endpoint);
		return;
	}
	r.line(kOk, "%s: running, answers in %ld ms; version %s", name, took,
	       Clean(json_object_get_string(version.get())).c_str());
}

// ---- stage 3: neighbours --------------------------------------------------

// olsrd's links, and how each got (or did not get) its MAC address, by
// the neighbours document's own rule and ARP list (neighbour_tables.h). False
// when olsrd's neighbour table cannot be had.
bool olsr1_links(StageReport &r) {
	const DaemonFacts &d = facts_of(kOlsr1);
	r.doing(Text().add("asking %s \"%s\"", d.endpoint, d.links_command).c_str());
	json_object *got = nullptr;
	int code = olsr1_get_nodeinfo(d.links_command, &got);
	JsonPtr answer(code == 0 ? got : nullptr);
	json_object *links = member(answer.get(), kOlsrdLinks);
	if (code != 0 || !json_object_is_type(links, json_type_array)) {
		r.line(kFail, "olsrd neighbours: \"%s\" %s", d.links_command,
		       code != 0 ? uclient_get_errmsg(code)
		                 : Text().add("answered without a \"%s\" list", kOlsrdLinks).c_str());
		r.hint("the neighbours document fails without olsrd's links: restart olsrd");
		return false;
	}
	// An empty or unreadable ARP table is no list at all: every link is
	// probed, as in the document.
	ArpListPtr arp(read_arp_cache());
	bool table_empty = !arp;

	// The links that the list lacks are found first, so that the deadline
	// grows for the wait to come before the requests are sent; then they
	// are probed for at once, and the walk resolves as the document does.
	size_t count = json_object_array_length(links);
	size_t pending = 0;
	MallocPtr<ArpTarget> targets(olsrd_missing_links(links, arp.get(), &pending));
	// However many requests go out, they share one wait.
	r.probes(pending > 0 ? 1 : 0);
	r.doing("sending ARP requests for olsrd's links");
	size_t sent = 0;
	ArpListPtr probed(arp_probe_targets(targets.get(), pending, kArpProbeTimeoutMs, &sent));
	size_t n[kMacFromCount] = {};
	Text missing;
	for (size_t i = 0; i < count; i++) {
		json_object *link = json_object_array_get_idx(links, i);
		MacFrom from;
		free(olsrd_link_mac(link, arp.get(), probed.get(), &from));
		size_t named = n[size_t(from)]++;
		if (from != MacFrom::kNone || named > 8)
			continue;
		if (named == 8)
			missing.add(", ...");
		else
			missing.add("%s%s %s", named ? ", " : "",
			            Clean(text_of(member(link, kOlsrdLinkInterface)), 16).c_str(),
			            Clean(text_of(member(link, kOlsrdLinkAddress)), 40).c_str());
	}
	size_t from_table = n[size_t(MacFrom::kArpTable)], by_probe = n[size_t(MacFrom::kProbe)];
	size_t no_mac = n[size_t(MacFrom::kNone)], unusable = n[size_t(MacFrom::kNoText)];

	Level level = no_mac > 0 || count == 0 ? kWarn : kOk;
	r.line(level, "olsrd neighbours: %zu link%s; MAC from ARP table %zu, by ARP probe %zu, "
	       "none %zu%s", count, count == 1 ? "" : "s", from_table, by_probe, no_mac,
	       table_empty ? " (ARP table empty)" : "");
	if (sent > 0)
		r.detail(Text()
		             .add("the check sent %zu ARP request%s, as the document does", sent,
		                  sent == 1 ? "" : "s")
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

bool olsr2_links(StageReport &r) {
	const DaemonFacts &d = facts_of(kOlsr2);
	r.doing(Text().add("asking %s \"%s\"", d.endpoint, d.links_command).c_str());
	JsonPtr table(olsr2_get_neigh());
	if (!table) {
		r.line(kFail, "olsrd2 neighbours: \"%s\" failed or has no \"link\"", d.links_command);
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

void stage_neighbours(const FoundSoFar &f, StageReport &r, int) {
	bool tables = true;
	if (f.running[kOlsr2] && f.answers[kOlsr2])
		tables = olsr2_links(r) && tables;
	if (f.running[kOlsr1] && f.answers[kOlsr1])
		tables = olsr1_links(r) && tables;

	// The document fails as a whole when a running daemon's table is
	// missing: no need to ask again a daemon that did not answer above.
	const char *silent = nullptr;
	for (int d = 0; d < kDaemonCount; d++)
		if ((f.running[d] && !f.answers[d]) || f.late[d])
			silent = name_of(d);
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

void stage_interfaces(const FoundSoFar &f, StageReport &r, int) {
	// Every interface of the daemons' tables, in the order of nodeinfo's
	// "network" -> "interfaces" (olsrd's first), each once.
	JsonPtr names(json_object_new_object());
	if (!names)
		return;
	bool asked = false;
	for (int d = 0; d < kDaemonCount; d++) {
		if (!f.running[d] || !f.answers[d])
			continue;
		asked = true;
		const char *name = name_of(d);
		r.doing(Text().add("asking %s for its interfaces", name).c_str());
		const NodeinfoDaemon &asked = kNodeinfoDaemons[d];
		json_object *got = nullptr;
		int code = asked.query(facts_of(d).interfaces_command, &got);
		JsonPtr answer(got), table(code == 0 ? asked.table_of(answer.get()) : nullptr);
		if (!table) {
			r.line(kFail, "%s interfaces: the query failed", name);
			r.hint("nodeinfo lacks %s's interface table: restart %s", name, name);
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
		int type = plovanutil_get_interface_type(lowest);
		const char *kind = interface_class_name(type);
		TextPtr address(plovanutil_get_interface_address(name));
		JsonPtr classes(nodeinfo_interface_classes(name));
		Clean shown(name, 16);
		if (!address && type == kClassTunnel) {
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

void stage_statistics(const FoundSoFar &, StageReport &r, int) {
	r.doing("asking zistad for its clients");
	JsonPtr answer(socket_request_json(kZistadSocket, kZistadRequest));
	if (answer) {
		json_object *clients = member(answer.get(), kZistadClients);
		if (clients == nullptr) {
			r.line(kWarn, "zistad: answers, but without \"%s\"", kZistadClients);
			r.hint("statistics shows \"total\": null: check zistad's version");
		} else {
			r.line(kOk, "zistad: answers; clients: %s",
			       Clean(json_object_get_string(clients), 20).c_str());
		}
	} else {
		// Asked once more for the reason: the descriptor, or why none.
		Fd reply(socket_request(kZistadSocket, kZistadRequest, nullptr));
		int rc = reply.get();
		if (reply) {
			r.line(kWarn, "zistad: its answer on %s is not JSON", kZistadSocket);
		} else {
			r.line(kWarn, "zistad: no answer on %s: %s", kZistadSocket, strerror(-rc));
		}
		r.hint("statistics shows \"clients\": null: is zistad running?");
	}

	r.doing(Text().add("asking the kernel for the counters of %s", kTrafficInterface).c_str());
	link_stats64 *stats = nullptr;
	int rc = get_link_stats64(&stats);
	tarvik::MallocPtr<link_stats64> held(stats);
	if (rc == 0) {
		r.line(kOk, "%s: rx %llu bytes, tx %llu bytes", kTrafficInterface,
		       static_cast<unsigned long long>(held->rx_bytes),
		       static_cast<unsigned long long>(held->tx_bytes));
	} else if (rc == ENODATA) {
		r.line(kWarn, "%s: no such interface, so statistics shows \"traffic\": null",
		       kTrafficInterface);
		r.hint("the client port must be named %s: check the firmware's network settings (ip "
		       "link)", kTrafficInterface);
	} else {
		r.line(kWarn, "%s: counters not read: %s", kTrafficInterface, strerror(rc));
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

// The hint that names the cron line of `name`, after `why`.
void cron_hint(StageReport &r, const char *name, const char *why = "") {
	r.hint("%srun olsr-kavond --update %s periodically, from cron:\n"
	       "* * * * * %s --update %s",
	       why, name, kRefreshCommand, name);
}

// The process that holds a flock on the file of status `st`, by
// /proc/locks (its waiters, "->" lines, are not holders); 0 when none
// does.
long lock_holder(const struct stat &st) {
	FilePtr locks(fopen("/proc/locks", "re"));
	char line[256];
	while (locks && fgets(line, sizeof line, locks.get()) != nullptr) {
		// "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5678 0 EOF"
		char kind[16];
		long pid = 0;
		unsigned major_no = 0, minor_no = 0;
		unsigned long inode = 0;
		if (sscanf(line, "%*d: %15s %*s %*s %ld %x:%x:%lu", kind, &pid, &major_no, &minor_no,
		           &inode) == 5 &&
		    strcmp(kind, "FLOCK") == 0 && inode == st.st_ino &&
		    major_no == major(st.st_dev) && minor_no == minor(st.st_dev))
			return pid;
	}
	return 0;
}

// A refresh of `name` that holds its lock: which process, and since when
// (the holder wrote its process id into the lock file when it took it).
// Nothing when no refresh runs.
void report_refresh(StageReport &r, const char *name) {
	char path[kLockPathSize];
	if (!lock_file_path(name, path))
		return;
	Fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
	struct stat st;
	long pid;
	if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || (pid = lock_holder(st)) == 0)
		return;
	long held = static_cast<long>(time(nullptr) - st.st_mtime);
	Text text;
	text.add("refresh %s: under way for ", name);
	add_age(text, held < 0 ? 0 : held);
	text.add(", by process %ld", pid);
	if (held <= kRefreshBound) {
		r.line(kOk, "%s", text.c_str());
		return;
	}
	// Beyond the bound of olsr-kavond --update, unless it was given a
	// longer one: meanwhile every periodic refresh of NAME starts nothing.
	r.line(kWarn, "%s, longer than the %d s that olsr-kavond --update takes at most", text.c_str(),
	       kRefreshBound);
	r.hint("meanwhile the periodic refreshes of %s start nothing: ps -p %ld shows the "
	       "process; when it hangs, kill %ld",
	       name, pid, pid);
}

// The cache file of `name`: there, served, parsing, and not stale.
void report_cache_file(StageReport &r, const char *name) {
	char path[kCachePathSize];
	if (!cache_file_path(name, path))
		return; // cannot happen for the table's names
	struct stat st;
	if (lstat(path, &st) != 0) {
		if (errno == ENOENT)
			r.line(kWarn, "cache %s: missing (%s)", name, path);
		else
			r.line(kWarn, "cache %s: %s: %s", name, path, strerror(errno));
		cron_hint(r, name);
		return;
	}
	if (!S_ISREG(st.st_mode)) {
		// The responder reads nothing but a regular file there.
		r.line(kFail, "cache %s: %s is not a regular file", name, path);
		r.hint("remove it (ls -l %s shows what it is); the next refresh writes the file",
		       path);
		return;
	}
	if (const char *why = cache_file_refusal(&st)) {
		r.line(kFail, "cache %s: %s is not served: %s", name, path, why);
		r.hint("the next olsr-kavond --update %s replaces it; ls -l %s shows whose it is",
		       name, path);
		return;
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
		r.hint("the responder serves no %s: run %s --update %s and read its message", name,
		       kRefreshCommand, name);
	} else if (age > kCacheMaxAge) {
		r.line(kFail, "cache %s: parses, but stale (%s): the responder serves an outdated "
		       "document", name, found.c_str());
		cron_hint(r, name, "the refreshes fail or do not run: try one by hand and read its "
		                   "message; ");
	} else {
		r.line(kOk, "cache %s: parses (%s)", name, found.c_str());
	}
}

void stage_cache(const FoundSoFar &, StageReport &r, int) {
	for (size_t i = 0; i < kDocumentCount; i++) {
		report_cache_file(r, kDocuments[i].name);
		report_refresh(r, kDocuments[i].name);
	}
}

// ---- the stages, in order ---------------------------------------------------

enum class When {
	kAlways,
	kConfig,      // only when the site configuration has "mesh" -> "olsrd"
	kEachEnabled, // once per daemon the site enables, its index the argument
};

struct Stage {
	const char *title; // NULL: the daemon's name
	When when;
	// A few seconds; the neighbours stage gets more for each ARP probe it
	// announces (check_runner.h).
	int deadline_ms;
	const char *late_hint; // NULL: "<daemon> does not answer: restart it"
	StageFn fn;
};

const Stage kStages[] = {
    {"site configuration", When::kAlways, 3000,
     "loading the site configuration hangs: check the firmware's utility library", stage_site},
    {nullptr, When::kEachEnabled, 5000, nullptr, stage_daemon},
    {"neighbours", When::kConfig, 5000,
     "a daemon or an ARP probe takes too long: run the check again", stage_neighbours},
    {"interfaces", When::kConfig, 5000,
     "a daemon takes too long to list its interfaces: restart it", stage_interfaces},
    {"statistics", When::kAlways, 3000,
     "zistad or the kernel does not answer: restart zistad", stage_statistics},
    {"cache files", When::kAlways, 3000, "reading /tmp takes too long: check the file system",
     stage_cache},
};

} // namespace

int kavond::check() {
	stop_stages_with_check();
	Runner run;
	for (const Stage &stage : kStages) {
		if (stage.when != When::kAlways && !run.found.config)
			continue;
		if (stage.when != When::kEachEnabled) {
			run.run(stage.title, stage.deadline_ms, stage.late_hint, stage.fn);
			continue;
		}
		for (int d = 0; d < kDaemonCount; d++) {
			if (!run.found.enabled[d])
				continue;
			Text hint;
			hint.add("%s does not answer: restart it", name_of(d));
			// A daemon whose stage hung is not asked again: the later
			// stages would only hang on it too.
			if (!run.run(name_of(d), stage.deadline_ms, hint.c_str(), stage.fn, d))
				run.found.late[d] = true;
		}
	}
	return run.failed() ? 1 : 0;
}
