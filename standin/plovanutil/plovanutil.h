/*
 * libplovanutil: the firmware's site and interface utilities (stand-in).
 * Plain C interface.
 */
#ifndef PLOVANUTIL_H
#define PLOVANUTIL_H

#ifdef __cplusplus
extern "C" {
#endif

struct json_object;

#define PLOVANUTIL_EXPORT __attribute__((visibility("default")))

/* The site configuration (/etc/plovan/site.json) as a new JSON object
 * that the caller releases with json_object_put, or NULL when there is
 * none or it is not a JSON object. */
PLOVANUTIL_EXPORT struct json_object *plovanutil_load_site_config(void);

/* The hardware address text of interface `ifname` as a new heap text
 * (caller frees), or NULL when it has none. */
PLOVANUTIL_EXPORT char *plovanutil_get_interface_address(const char *ifname);

/* A new JSON string holding `text`, or NULL for NULL; `text` is freed. */
PLOVANUTIL_EXPORT struct json_object *plovanutil_wrap_and_free_string(char *text);

/* Fills `lower` (16 bytes) with the name of the lowest device beneath
 * `ifname` (the interface itself when it has none). The buffer always
 * holds a NUL-terminated name afterwards, empty for an invalid name. */
PLOVANUTIL_EXPORT void plovanutil_get_interface_lower(char *lower, const char *ifname);

/* The class of interface `ifname`: 1 wired, 2 wireless, 3 tunnel, 0
 * anything else (also an unknown or invalid name). */
PLOVANUTIL_EXPORT int plovanutil_get_interface_type(const char *ifname);

#ifdef __cplusplus
}
#endif

#endif
