// Cache files: the last document of each provider, under /tmp. A refresh
// runs the refresh command while it holds an exclusive lock on the cache
// file, writes the command's document into a new file beside it and
// renames that over the cache file. Readers take no lock: whenever they
// open the path they find either the previous document or the new one,
// whole, never a file being rewritten.
//
// /tmp is writable by every local user while refreshes and the responder
// run as root, so nothing here follows a symbolic link planted at a cache
// path, blocks on a FIFO planted there, or reads anything but a regular
// file; and no descriptor is left open across the exec of the refresh
// command.
#include <errno.h>
#include <fcntl.h>
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cache.h"
#include "facts.h"
#include "holders.h"
#include "json_output.h"

using namespace tarvik;

namespace {

// Paths and commands are formatted into buffers of this size (NUL
// included); a name that does not fit is refused, never cut short into
// the name of another file or provider.
constexpr size_t kFormatted = kCachePathSize;

bool format_fits(char *out, const char *format, const char *a, const char *b = nullptr) {
	int n = b ? snprintf(out, kFormatted, format, a, b) : snprintf(out, kFormatted, format, a);
	return n >= 0 && static_cast<size_t>(n) < kFormatted;
}

// errno of open_regular for a path that holds something other than a
// regular file; open itself never gives it for the flags used here.
constexpr int kNotRegular = EMEDIUMTYPE;

const char *open_error_text(int err) {
	return err == kNotRegular ? "Not a regular file" : strerror(err);
}

// Opens the regular file at `path` for reading, `create`d (mode 0644) when
// missing. A symbolic link at the path is not followed (ELOOP), a FIFO or
// device is not waited on or read (kNotRegular), and the descriptor is
// not inherited by programs this process starts.
Fd open_regular(const char *path, bool create) {
	int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
	Fd fd(open(path, create ? flags | O_CREAT : flags, 0644));
	struct stat st;
	if (fd && (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
		fd.reset();
		errno = kNotRegular;
	}
	return fd;
}

bool same_file(const struct stat &a, const struct stat &b) {
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

enum class LockFailure { None, Open, Lock };

// Opens the cache file at `path` (created when missing) and takes the
// exclusive lock on it, waiting for it unless `wait` is false. A refresh
// replaces the file, so a lock granted on a file that is no longer the one
// at `path` guards nothing: it is dropped, and the file now at the path is
// locked instead. On failure `*failure` says which step failed, with
// errno set (EWOULDBLOCK: not waiting, and another refresh holds it).
Fd lock_cache_file(const char *path, bool wait, LockFailure *failure) {
	for (;;) {
		Fd fd = open_regular(path, true);
		if (!fd) {
			*failure = LockFailure::Open;
			return fd;
		}
		if (flock(fd.get(), wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
			*failure = LockFailure::Lock;
			return Fd();
		}
		struct stat held, now;
		if (fstat(fd.get(), &held) == 0 && lstat(path, &now) == 0 && same_file(held, now)) {
			*failure = LockFailure::None;
			return fd;
		}
	}
}

void report_write_failure(const char *path, const char *why) {
	fprintf(stderr, "Failed to write JSON to %s: %s\n", path, why ? why : "unknown error");
}

// Writes `doc` (compact, non-finite numbers as null) into a new file in
// the directory of `path` and renames it over `path`. Only a document
// written in full replaces the previous one; on any failure the new file
// is removed and the previous document stays.
void store_document(const char *path, json_object *doc) {
	size_t length = strlen(path);
	TextPtr temp(static_cast<char *>(malloc(length + sizeof(".XXXXXX"))));
	if (temp == nullptr) {
		report_write_failure(path, strerror(ENOMEM));
		return;
	}
	memcpy(temp.get(), path, length);
	memcpy(temp.get() + length, ".XXXXXX", sizeof(".XXXXXX"));

	Fd fd(mkostemp(temp.get(), O_CLOEXEC));
	if (!fd) {
		report_write_failure(path, strerror(errno));
		return;
	}
	json_output_null_nonfinite(doc);
	const char *why = nullptr;
	if (fchmod(fd.get(), 0644) != 0)
		why = strerror(errno);
	else if (json_object_to_fd(fd.get(), doc, JSON_C_TO_STRING_PLAIN) < 0)
		why = json_util_get_last_err();
	else if (close(fd.release()) != 0 || rename(temp.get(), path) != 0)
		why = strerror(errno);
	else
		return;
	report_write_failure(path, why);
	unlink(temp.get());
}

// Closes the refresh command, reporting a failing close (which includes a
// non-zero exit status of the command).
void close_command(FILE *fp) {
	if (pclose(fp) != 0)
		fprintf(stderr, "Failed to pclose(fp): %s\n", strerror(errno));
}

// Runs the refresh command and reads its document. Under `lock`, the held
// lock of the cache file at `path`, the document read is stored there and
// the lock released before the command is waited for; without one (an
// empty Fd: no cache file could be had), the document is the caller's
// alone.
json_object *run_refresh(const char *command, const char *path, Fd lock) {
	FILE *fp = popen(command, "re");
	if (fp == nullptr)
		return nullptr;
	json_object *doc = json_object_from_fd(fileno(fp));
	if (lock) {
		if (doc != nullptr)
			store_document(path, doc);
		// Closing the cache file releases the lock.
		if (close(lock.release()) != 0)
			fprintf(stderr, "Failed to fclose(fo): %s\n", strerror(errno));
	}
	close_command(fp);
	return doc;
}

} // namespace

bool cache_file_path(const char *name, char *path) {
	return name != nullptr && format_fits(path, kCacheFileFormat, name);
}

json_object *make_safe(const char *name) {
	char path[kFormatted];
	if (!cache_file_path(name, path))
		return nullptr;
	Fd fd = open_regular(path, false);
	if (!fd)
		return nullptr;
	return json_object_from_fd(fd.get());
}

json_object *update_cache_file(const char *path, const char *name, int fallback) {
	char command[kFormatted];
	if (path == nullptr || name == nullptr ||
	    !format_fits(command, "%s %s", kRefreshCommand, name))
		return nullptr;

	LockFailure failure;
	Fd lock = lock_cache_file(path, true, &failure);
	if (lock)
		return run_refresh(command, path, std::move(lock));

	if (failure == LockFailure::Open)
		fprintf(stderr, "Failed to open %s: %s\n", path, open_error_text(errno));
	else if (errno != EAGAIN)
		fprintf(stderr, "Failed to lock %s: %s\n", path, strerror(errno));
	return fallback != 0 ? run_refresh(command, path, Fd()) : nullptr;
}

int cache_refresh_under_way(const char *path) {
	LockFailure failure;
	Fd lock = lock_cache_file(path, false, &failure);
	if (lock)
		return 0;
	return failure == LockFailure::Lock && errno == EWOULDBLOCK ? 1 : -1;
}
