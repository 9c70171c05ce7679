// The cache files of the documents, under /tmp: where each lies, how a
// reader takes the last document, and how a refresh replaces it.
#ifndef OLSR_KAVOND_CACHE_H
#define OLSR_KAVOND_CACHE_H

#include <json-c/json.h>

#include <stddef.h>

struct stat;

namespace kavond {

// The cache file of document NAME.
constexpr char kCacheFileFormat[] = "/tmp/olsrd-kavond-%s.json";
// Paths and commands made from a document name fit this many bytes (NUL
// included); a name that does not fit is refused, never cut.
constexpr size_t kCachePathSize = 40;
// The largest cache file a reader reads, and so the largest document a
// refresh stores (bytes).
constexpr size_t kCacheFileMax = size_t{4} << 20;
// The refresh command, at exactly this path: a refresh runs
// "kRefreshCommand NAME".
constexpr char kRefreshCommand[] = "/usr/bin/olsr-kavond";
// The refresh lock of document NAME; its path fits kLockPathSize bytes.
constexpr char kLockFileFormat[] = "/var/run/olsrd-kavond-%s.lock";
constexpr size_t kLockPathSize = 64;
// How long a refresh of olsr-kavond --update may take as a whole, unless
// told otherwise (s): the library's 300 s for each single request would
// let one document take many times that on a daemon that hangs.
constexpr int kRefreshBound = 120;

// The cache file path of provider `name` (kCacheFileFormat) into `path`
// (kCachePathSize bytes); false when it would not fit.
bool cache_file_path(const char *name, char *path);
// The refresh lock path of `name` (kLockFileFormat) into `path`
// (kLockPathSize bytes); false when it would not fit. Whoever holds the
// lock has written its process id into it, when it took the lock.
bool lock_file_path(const char *name, char *path);
// Why make_safe refuses to read the cache file of status `st` (a short
// text such as "owned by another user"), or NULL when it reads it: it
// reads only a regular file owned by its own effective user (root on a
// node), not writable by group or others, with one link, of at most
// kCacheFileMax bytes.
const char *cache_file_refusal(const struct stat *st);
// The document cached for provider `name`, or NULL at once: no cache file,
// a file that cache_file_refusal refuses (a symbolic link there is not
// followed), or one that does not hold one JSON document.
json_object *make_safe(const char *name);
// Refreshes a cache file: runs "/usr/bin/olsr-kavond NAME" (`name` must
// be one of the provider table's names) in a process group of its own,
// with no bound on its time, while holding
// the refresh lock of NAME, /var/run/olsrd-kavond-NAME.lock (a file only
// root can open, in a directory only root can write; the cache file itself
// is never locked), waiting for it while another refresh holds it. The
// document the command printed is written into a new file beside `path`
// and renamed over whatever non-directory entry is there, which is never
// opened (readers meet the previous document or the new one, never a
// mixture); a directory there of another user's is first renamed to a new
// hidden name beside it (/tmp/.FILE.XXXXXX for /tmp/FILE, reported on
// standard error). A document longer than kCacheFileMax bytes is not
// stored. Returns that document (the caller releases it), also when
// storing it failed or the command failed after printing it; NULL when
// none was read. When the lock cannot be had or no new file can be made
// beside `path` (a directory of the caller's own user at `path` included),
// reported on standard error, a non-zero `fallback` still runs the command
// and returns its document without storing it; a zero `fallback` returns
// NULL without running it.
json_object *update_cache_file(const char *path, const char *name, int fallback);

// Writes `length` bytes of `text` into a new file beside `path` (mode
// 0644) and renames it over `path`, as a refresh stores a document:
// readers find the previous file or the new one, whole. false with errno
// set; the previous file then stays.
bool store_text_file(const char *path, const char *text, size_t length);

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
// command exited with status 0. The command runs in a process group of
// its own; when it has not ended `bound_s` seconds after it started, the
// group is killed, what the command was waiting for is reported (the
// routing daemon whose answer it awaited, or the command it had started)
// and nothing is stored.
CacheRefresh refresh_cache_file(const char *path, const char *name, int bound_s = kRefreshBound);

} // namespace kavond

#endif
