// What the library and the programs both know about the routing daemons,
// each fact spelled once: the site configuration's keys, each daemon's
// init script, HTTP interface and commands, and the answer keys of
// olsrd's links. Facts that one side alone uses sit beside their users.
// Internal: nothing of it is exported.
#ifndef TARVIK_FACTS_H
#define TARVIK_FACTS_H

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
	const char *site_section;     // its section under "mesh" -> "olsrd"
	const char *init_script;      // asked with kInitRunning
	const char *endpoint;         // host:port of its HTTP interface
	const char *base_url;         // a command follows it after a "/"
	const char *version_command;
	const char *plugins_command;  // nullptr: the daemon has none
	const char *addresses_command;
	const char *interfaces_command;
	const char *links_command;    // its neighbour table
};

#define TARVIK_OLSRD_ENDPOINT "127.0.0.1:9090"
#define TARVIK_OLSRD2_ENDPOINT "127.0.0.1:1980"

constexpr DaemonFacts kOlsrdFacts = {
    "v1_4",
    "/etc/init.d/olsrd",
    TARVIK_OLSRD_ENDPOINT,
    "http://" TARVIK_OLSRD_ENDPOINT,
    "version",
    "plugins",
    "interfaces",
    "interfaces",
    "links",
};

constexpr DaemonFacts kOlsrd2Facts = {
    "v2",
    "/etc/init.d/olsrd2",
    TARVIK_OLSRD2_ENDPOINT,
    "http://" TARVIK_OLSRD2_ENDPOINT "/telnet",
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

} // namespace tarvik

#endif
