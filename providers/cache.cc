// Cache files: the last document of each provider, under /tmp, written by
// a refresh under an exclusive lock and read without one.
#include <errno.h>
#include <json-c/json.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "holders.h"
#include "json_output.h"
#include "providers.h"

using namespace tarvik;

namespace {

// Paths and commands are formatted into buffers of this size (NUL
// included); a name that does not fit is refused, never cut short into
// the name of another file or provider.
constexpr size_t kFormatted = 40;

bool format_fits(char *out, const char *format, const char *a, const char *b = nullptr) {
	int n = b ? snprintf(out, kFormatted, format, a, b) : snprintf(out, kFormatted, format, a);
	return n >= 0 && static_cast<size_t>(n) < kFormatted;
}

// Closes the cache file (releasing its lock), reporting a failure.
void close_cache_file(FILE *fo) {
	if (fclose(fo) != 0)
		fprintf(stderr, "Failed to fclose(fo): %s\n", strerror(errno));
}

} // namespace

bool cache_file_path(const char *name, char *path) {
	return name != nullptr && format_fits(path, "/tmp/olsrd-kavond-%s.json", name);
}

json_object *make_safe(const char *name) {
	char path[kFormatted];
	if (!cache_file_path(name, path))
		return nullptr;
	struct stat st;
	if (stat(path, &st) != 0)
		return nullptr;
	return json_object_from_file(path);
}

json_object *update_cache_file(const char *path, const char *name, int fallback) {
	char command[kFormatted];
	if (path == nullptr || name == nullptr ||
	    !format_fits(command, "%s %s", "/usr/bin/olsr-kavond", name))
		return nullptr;

	FILE *fo = fopen(path, "a");
	if (fo == nullptr)
		fprintf(stderr, "Failed to open %s: %s\n", path, strerror(errno));

	FILE *fp = nullptr;
	if (fo != nullptr) {
		if (flock(fileno(fo), LOCK_EX) == 0) {
			// The lock is held from before the command starts until the
			// file is closed, so refreshes of one name never interleave.
			fp = popen(command, "r");
			if (fp == nullptr) {
				close_cache_file(fo);
				return nullptr;
			}
		} else {
			if (errno != EAGAIN)
				fprintf(stderr, "Failed to lock %s: %s\n", path, strerror(errno));
			close_cache_file(fo);
			fo = nullptr;
		}
	}
	if (fo == nullptr) {
		if (fallback == 0)
			return nullptr;
		fp = popen(command, "r");
		if (fp == nullptr)
			return nullptr;
	}

	json_object *doc = json_object_from_fd(fileno(fp));
	if (fo != nullptr && doc != nullptr) {
		int fd = fileno(fo);
		// Stored as this program prints documents: compact, and with
		// non-finite numbers as null.
		json_output_null_nonfinite(doc);
		if (ftruncate(fd, 0) != 0)
			fprintf(stderr, "Failed to truncate %s: %s\n", path, strerror(errno));
		else if (json_object_to_fd(fd, doc, JSON_C_TO_STRING_PLAIN) < 0)
			fprintf(stderr, "Failed to write JSON to %s: %s\n", path, json_util_get_last_err());
	}
	if (fo != nullptr)
		close_cache_file(fo);
	if (pclose(fp) != 0)
		fprintf(stderr, "Failed to pclose(fp): %s\n", strerror(errno));
	return doc;
}
