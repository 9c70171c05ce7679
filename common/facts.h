// What this system knows about the world outside it, each fact spelled
// once: the site configuration's keys, the routing daemons (init scripts,
// HTTP interfaces, commands, answer keys), zistad's socket and request,
// the traffic interface, the cache files and the refresh command. The
// library, the documents and the self-check all read them from here, so
// that a change on the router is one change here.
// Internal: nothing of it is exported.
#ifndef TARVIK_FACTS_H
#define TARVIK_FACTS_H

#include <stddef.h>

namespace tarvik {

// ---- site configuration (plovanutil_load_site_config) -----------------

// The routing daemons' sections sit under "mesh" -> "olsrd"; each section
// holds "enable".
constexpr char kSiteMesh[] = "mesh";
constexpr char kSiteOlsrd[] = "olsrd";
constexpr char kSiteEnable[] = "enable";

// ---- routing daemons ---------------------------------------------------

// The argument that makes an init script say, by its exit status, whether
// its daemon runs.
constexpr char kInitRunning[] = "running";

struct DaemonFacts {
	const char *name;             // as the operator knows it
	const char *site_section;     // its section under "mesh" -> "olsrd"
	const char *init_script;      // asked with kInitRunning
	const char *endpoint;         // host:port of its HTTP interface
	const char *base_url;         // a command follows it after a "/"
	const char *listener;         // what should listen at the endpoint
	const char *version_command;
	const char *plugins_command;  // nullptr: the daemon has none
	const char *addresses_command;
	const char *interfaces_command;
	const char *links_command;    // its neighbour table
};

#define TARVIK_OLSRD_ENDPOINT "127.0.0.1:9090"
#define TARVIK_OLSRD2_ENDPOINT "127.0.0.1:1980"

constexpr DaemonFacts kOlsrdFacts = {
    "olsrd",
    "v1_4",
    "/etc/init.d/olsrd",
    TARVIK_OLSRD_ENDPOINT,
    "http://" TARVIK_OLSRD_ENDPOINT,
    "its JSON info plugin",
    "version",
    "plugins",
    "interfaces",
    "interfaces",
    "links",
};

constexpr DaemonFacts kOlsrd2Facts = {
    "olsrd2",
    "v2",
    "/etc/init.d/olsrd2",
    TARVIK_OLSRD2_ENDPOINT,
    "http://" TARVIK_OLSRD2_ENDPOINT "/telnet",
    "its telnet plugin (over HTTP)",
    "systeminfo jsonraw version",
    nullptr,
    "olsrv2info jsonraw originator",
    "nhdpinfo jsonraw interface",
    "nhdpinfo jsonraw link",
};

#undef TARVIK_OLSRD_ENDPOINT
#undef TARVIK_OLSRD2_ENDPOINT

// olsrd's answer to its links command: an array of links, each naming the
// local interface and the neighbour's IPv4 address.
constexpr char kOlsrdLinks[] = "links";
constexpr char kOlsrdLinkInterface[] = "ifName";
constexpr char kOlsrdLinkAddress[] = "remoteIP";

// ---- interface classes (plovanutil_get_interface_type) ------------------

enum InterfaceClass { kClassOther = 0, kClassWired = 1, kClassWireless = 2, kClassTunnel = 3 };

// The name of the class that `type` gives: "wired", "wireless", "tunnel",
// or "other" for every other value. Also the class lists' keys in the
// nodeinfo document.
constexpr const char *interface_class_name(int type) {
	switch (type) {
	case kClassWired:
		return "wired";
	case kClassWireless:
		return "wireless";
	case kClassTunnel:
		return "tunnel";
	default:
		return "other";
	}
}

// ---- zistad ------------------------------------------------------------

constexpr char kZistadSocket[] = "/var/run/zistad.sock";
constexpr char kZistadRequest[] = "get_clients";
// The members of its answer that the statistics document keeps.
constexpr char kZistadClients[] = "clients";
constexpr char kZistadClientList[] = "clientlist";

// ---- traffic counters --------------------------------------------------

// The client port, whose counters the statistics document carries.
constexpr char kTrafficInterface[] = "local-port";

// ---- cache files and the refresh command -------------------------------

// The cache file of document NAME.
constexpr char kCacheFileFormat[] = "/tmp/olsrd-kavond-%s.json";
// Paths and commands made from a document name fit this many bytes (NUL
// included); a name that does not fit is refused, never cut.
constexpr size_t kCachePathSize = 40;
// The refresh command, at exactly this path: a refresh runs
// "kRefreshCommand NAME".
constexpr char kRefreshCommand[] = "/usr/bin/olsr-kavond";

} // namespace tarvik

#endif
