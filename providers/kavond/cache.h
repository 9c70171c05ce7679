// The cache files of the documents, under /tmp: where each lies, how a
// reader takes the last document, and how a refresh replaces it.
#ifndef OLSR_KAVOND_CACHE_H
#define OLSR_KAVOND_CACHE_H

#include <json-c/json.h>

// The cache file path of provider `name` ("/tmp/olsrd-kavond-NAME.json")
// into `path` (40 bytes); false when it would not fit.
bool cache_file_path(const char *name, char *path);
// The document cached for provider `name`, or NULL: no cache file, or
// anything at its path but a regular file holding one JSON document (a
// symbolic link there is not followed).
json_object *make_safe(const char *name);
// Refreshes a cache file: runs "/usr/bin/olsr-kavond NAME" (through the
// shell: `name` must be one of the provider table's names) while holding
// an exclusive lock on the file at `path`, waiting for the lock while
// another refresh holds it, and replaces the file with the document the
// command printed (readers meet the previous document or the new one,
// never a mixture). Returns that document (the caller releases it), also
// when storing it failed; NULL when none was read. When `path` cannot be
// opened or locked (reported on standard error), a non-zero `fallback`
// still runs the command and returns its document without storing it; a
// zero `fallback` returns NULL without running it.
json_object *update_cache_file(const char *path, const char *name, int fallback);
// 1 when a refresh of the cache file at `path` holds its lock right now,
// 0 when none does, -1 when the file cannot be opened or locked. Never
// waits.
int cache_refresh_under_way(const char *path);

#endif
