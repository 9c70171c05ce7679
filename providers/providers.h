// The node-information documents and the functions that build them. Every
// document is a new json_object that the caller releases with
// json_object_put.
#ifndef DRAVEL_PROVIDERS_H
#define DRAVEL_PROVIDERS_H

#include <json-c/json.h>
#include <stdint.h>

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

// ---- statistics -------------------------------------------------------

// The first 24 counters of the kernel's rtnl_link_stats64, host order.
struct link_stats64 {
	uint64_t counters[24];
};
// The link statistics of "local-port" in a new 192-byte record (caller
// frees) through `out`: 0, or an errno value with `*out` NULL.
int get_link_stats64(struct link_stats64 **out);
// {"rx": {...}, "tx": {...}} of "local-port", or NULL.
json_object *get_traffic(void);
// The statistics document; never NULL in practice.
json_object *provider_statistics(void);

// ---- provider table and cache files ----------------------------------

// The cache file path of provider `name` ("/tmp/olsrd-kavond-NAME.json")
// into `path` (40 bytes); false when it would not fit.
bool cache_file_path(const char *name, char *path);
// The document cached for provider `name`, or NULL.
json_object *make_safe(const char *name);
// Runs the refresh command for `name`, stores its document at `path`
// under an exclusive lock, and returns it (NULL when none was read).
json_object *update_cache_file(const char *path, const char *name, int fallback);

#endif
