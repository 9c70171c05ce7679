// The node-information documents and the functions that build them. Every
// document is a new json_object that the caller releases with
// json_object_put.
#ifndef DRAVEL_PROVIDERS_H
#define DRAVEL_PROVIDERS_H

#include <json-c/json.h>
#include <stddef.h>
#include <stdint.h>

struct stat;

// ---- nodeinfo ---------------------------------------------------------

// The nodeinfo document, or NULL when the daemon state cannot be read.
json_object *provider_nodeinfo(void);
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

// ---- neighbours -------------------------------------------------------

// The neighbours document, or NULL when the merged table cannot be had.
json_object *provider_neighbours(void);
// The neighbours document of the merged table `merged` (only read; an
// object, else the document has no neighbours): each record with an
// "ifname" text whose interface has a hardware address, shared under that
// address. NULL when memory runs out.
json_object *neighbours_from_merged(json_object *merged);

// ---- statistics -------------------------------------------------------

// The first 24 counters of the kernel's rtnl_link_stats64, in its order
// and in host byte order: the payload of an IFLA_STATS64 attribute up to
// rx_nohandler (newer kernels append counters, which are not kept).
struct link_stats64 {
	uint64_t rx_packets, tx_packets, rx_bytes, tx_bytes;
	uint64_t rx_errors, tx_errors, rx_dropped, tx_dropped;
	uint64_t multicast, collisions;
	uint64_t rx_length_errors, rx_over_errors, rx_crc_errors, rx_frame_errors;
	uint64_t rx_fifo_errors, rx_missed_errors;
	uint64_t tx_aborted_errors, tx_carrier_errors, tx_fifo_errors;
	uint64_t tx_heartbeat_errors, tx_window_errors;
	uint64_t rx_compressed, tx_compressed, rx_nohandler;
};
// The link statistics of "local-port" in a new 192-byte record (caller
// frees) through `out`, which is set to NULL first: 0, or an errno value
// (that of the failed socket call, ENOMEM, or ENODATA when the reply
// holds no 64-bit statistics).
int get_link_stats64(struct link_stats64 **out);
// {"rx": {...}, "tx": {...}} of "local-port", or NULL.
json_object *get_traffic(void);
// The statistics document: {"clients": ..., "traffic": ...}; NULL only
// when memory runs out.
json_object *provider_statistics(void);

// The pieces of the above, reachable by the tests without a kernel or a
// zistad:
// The 132-byte RTM_GETLINK request for interface `ifindex`.
constexpr size_t kLinkRequestSize = 132;
void build_link_request(uint32_t ifindex, unsigned char request[kLinkRequestSize]);
// Walks the link attributes of the reply `reply`, of which `received`
// bytes arrived, never reading past them or past the message's own
// length. When an IFLA_STATS64 attribute is found, fills `*stats` from its
// payload (a shorter payload is copied as far as it goes, the rest of the
// record is zero) and returns 0; otherwise ENODATA and `*stats` is
// untouched.
int read_link_stats64(const unsigned char *reply, size_t received, struct link_stats64 *stats);
// The traffic object of `stats`: each counter an unsigned 64-bit JSON
// integer (json_object_new_uint64). NULL when memory runs out.
json_object *traffic_from_stats(const struct link_stats64 *stats);
// The clients object of zistad's answer `answer` (only read; the values
// kept take references of their own), or NULL when memory runs out.
json_object *clients_from_answer(json_object *answer);

// ---- provider table and cache files ----------------------------------

// The cache file path of provider `name` ("/tmp/olsrd-kavond-NAME.json")
// into `path` (40 bytes); false when it would not fit.
bool cache_file_path(const char *name, char *path);
// Why make_safe refuses to read the cache file of status `st` (a short
// text such as "owned by another user"), or NULL when it reads it: it
// reads only a regular file owned by its own effective user (root on a
// node), not writable by group or others, with one link, of at most 4 MiB.
const char *cache_file_refusal(const struct stat *st);
// The document cached for provider `name`, or NULL at once: no cache file,
// a file that cache_file_refusal refuses (a symbolic link there is not
// followed), or one that does not hold one JSON document.
json_object *make_safe(const char *name);
// Refreshes a cache file: runs "/usr/bin/olsr-kavond NAME" (through the
// shell: `name` must be one of the provider table's names) while holding
// the refresh lock of NAME, /var/run/olsrd-kavond-NAME.lock (a file only
// root can open, in a directory only root can write; the cache file itself
// is never locked), waiting for it while another refresh holds it. The
// document the command printed is written into a new file beside `path`
// and renamed over whatever non-directory entry is there, which is never
// opened (readers meet the previous document or the new one, never a
// mixture). Returns that document (the caller releases it), also when
// storing it failed or the command failed after printing it; NULL when
// none was read. When the lock cannot be had or no new file can be made
// beside `path` (a directory at `path` included), reported on standard
// error, a non-zero `fallback` still runs the command and returns its
// document without storing it; a zero `fallback` returns NULL without
// running it.
json_object *update_cache_file(const char *path, const char *name, int fallback);

// What refresh_cache_file did.
enum class CacheRefresh {
	Stored,    // the command's document replaced the cache file
	UnderWay,  // another refresh of the name holds its lock: nothing done
	NotStored, // a failure, reported on standard error; the file is as it was
};
// The refresh of a periodic job: as update_cache_file with a zero
// fallback, but it never waits for the lock (a refresh that holds it, even
// one hung on a daemon, makes this return UnderWay at once), keeps it
// until the document is stored, and stores the document only when the
// command exited with status 0.
CacheRefresh refresh_cache_file(const char *path, const char *name);

#endif
