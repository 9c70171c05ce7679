// Cache files: the last document of each provider, under /tmp. A refresh
// runs the refresh command while it holds the refresh lock of the
// provider's name, writes the command's document into a new file beside
// the cache file and renames that over it. Readers take no lock: whenever
// they open the path they find either the previous document or the new
// one, whole, never a file being rewritten.
//
// /tmp is writable by every local user while refreshes and the responder
// run as root. So the lock is not taken on anything in /tmp (anyone who
// may read a file may lock it, and hold a refresh off for good) but on a
// file in /var/run that only root can open; a refresh never opens what it
// finds at the cache path, it replaces it (another user's directory, which
// no rename can replace, is moved aside first); and the reader serves only
// a regular file of its own user that nobody else can write, with one link
// and of a document's size: another user's document, a link to another
// file of root's, a FIFO or a sparse file of gigabytes are not served. A
// refresh stores only what the reader serves. No descriptor is left open
// across the exec of the refresh command.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cache.h"
#include "holders.h"
#include "json_output.h"
#include "refresh_command.h"

namespace kavond {

using namespace tarvik;

namespace {

bool format_fits(char *out, size_t size, const char *format, const char *a,
                 const char *b = nullptr) {
	int n = b ? snprintf(out, size, format, a, b) : snprintf(out, size, format, a);
	return n >= 0 && static_cast<size_t>(n) < size;
}

// The directory of the refresh locks (named in unsafe_lock_dir's texts),
// and the name of NAME's lock in it.
constexpr char kLockDir[] = "/var/run";
static_assert(kLockFileFormat[sizeof kLockDir - 1] == '/', "the locks lie in kLockDir");
constexpr const char *kLockName = kLockFileFormat + sizeof kLockDir;

// Why a directory may not hold a refresh lock (NULL: it may): whoever
// else could write it could put a file of theirs at the lock's name, or
// take the name away.
const char *unsafe_lock_dir(const struct stat &st) {
	if (st.st_uid != 0 && st.st_uid != geteuid())
		return "its directory /var/run is not owned by root";
	if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
		return "its directory /var/run is writable by group or others";
	return nullptr;
}

// errno of a lock that failed for a reason of its own text in `*why`.
constexpr int kUnsafe = EPERM;

enum class LockFailure { None, Open, Lock };

// Takes the refresh lock of `name`: the file kLockDir/olsrd-kavond-NAME.lock
// (mode 0600, created when missing), locked exclusively with flock,
// waiting for it unless `wait` is false. Its path goes to `lock_path`.
// On failure `*failure` says which step failed, with errno set (the
// locking step with EWOULDBLOCK: not waiting, and another refresh holds
// it), and `*why` the reason's text when errno has none of its own.
// Once locked, the file holds this process's id (and its time of change
// says since when), for olsr-kavond --check.
Fd take_refresh_lock(const char *name, bool wait, char (&lock_path)[kLockPathSize],
                     LockFailure *failure, const char **why) {
	*failure = LockFailure::Open;
	*why = nullptr;
	lock_path[0] = '\0';
	char file[kLockPathSize];
	if (!format_fits(file, sizeof file, kLockName, name) ||
	    !format_fits(lock_path, sizeof lock_path, "%s/%s", kLockDir, file)) {
		errno = ENAMETOOLONG;
		return Fd();
	}
	Fd dir(open(kLockDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
	struct stat st;
	if (!dir || fstat(dir.get(), &st) != 0)
		return Fd();
	if ((*why = unsafe_lock_dir(st)) != nullptr) {
		errno = kUnsafe;
		return Fd();
	}
	Fd fd(openat(dir.get(), file, O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
	if (!fd || fstat(fd.get(), &st) != 0)
		return Fd();
	if (!S_ISREG(st.st_mode)) {
		*why = "not a regular file";
		errno = kUnsafe;
		return Fd();
	}
	if (flock(fd.get(), wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
		*failure = LockFailure::Lock;
		return Fd();
	}
	*failure = LockFailure::None;
	// Only for the operator's eyes: the lock is what counts.
	if (ftruncate(fd.get(), 0) == 0)
		dprintf(fd.get(), "%ld\n", static_cast<long>(getpid()));
	return fd;
}

// Reports a failed take_refresh_lock; EWOULDBLOCK (another refresh holds
// the lock) is passed over silently.
void report_lock_failure(const char *lock_path, LockFailure failure, int err, const char *why) {
	const char *text = why != nullptr ? why : strerror(err);
	if (failure == LockFailure::Open)
		fprintf(stderr, "Failed to open %s: %s\n", lock_path, text);
	else if (err != EWOULDBLOCK)
		fprintf(stderr, "Failed to lock %s: %s\n", lock_path, text);
}

// Renames the directory at `path`, when it is another user's, to a new
// hidden name beside it: /tmp/.FILE.XXXXXX for /tmp/FILE, made first by
// mkdtemp as an empty directory of our own (mode 0700; in sticky /tmp nobody
// else can remove, rename or fill it), which the rename then replaces, so
// that nothing else is ever overwritten. Says so on standard error. true
// when the path may be tried again (also when no directory is there any
// more); false with errno set, EISDIR for a directory of our own user's,
// which stays: not another user's doing.
bool move_directory_aside(const char *path) {
	struct stat st;
	if (lstat(path, &st) != 0 || !S_ISDIR(st.st_mode))
		return true;
	if (st.st_uid == geteuid()) {
		errno = EISDIR;
		return false;
	}
	const char *slash = strrchr(path, '/');
	size_t dir_length = slash != nullptr ? static_cast<size_t>(slash + 1 - path) : 0;
	size_t length = strlen(path);
	TextPtr aside(static_cast<char *>(malloc(length + sizeof("..XXXXXX"))));
	if (aside == nullptr) {
		errno = ENOMEM;
		return false;
	}
	char *at = aside.get();
	memcpy(at, path, dir_length);
	at[dir_length] = '.';
	memcpy(at + dir_length + 1, path + dir_length, length - dir_length);
	memcpy(at + length + 1, ".XXXXXX", sizeof(".XXXXXX"));
	if (mkdtemp(at) == nullptr)
		return false;
	if (rename(path, at) != 0) {
		int err = errno;
		rmdir(at);
		errno = err;
		return false;
	}
	fprintf(stderr, "Moved another user's directory %s aside to %s\n", path, at);
	return true;
}

// The new file of a refresh, beside the cache file at `path`: removed
// when the holder goes unless it was renamed over the cache file.
class NewFile {
public:
	NewFile() = default;
	NewFile(const NewFile &) = delete;
	NewFile &operator=(const NewFile &) = delete;
	~NewFile() {
		if (name_ != nullptr)
			unlink(name_.get());
	}

	// Creates the new file (mode 0644, close-on-exec, a name nobody can
	// guess or have placed a file at). A directory of our own user's at
	// `path` fails here (EISDIR): it is not moved, and no rename could
	// replace it. Any other entry there is not looked at: store replaces
	// it. false with errno set.
	bool create(const char *path) {
		struct stat st;
		if (lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid()) {
			errno = EISDIR;
			return false;
		}
		size_t length = strlen(path);
		name_.reset(static_cast<char *>(malloc(length + sizeof(".XXXXXX"))));
		if (name_ == nullptr) {
			errno = ENOMEM;
			return false;
		}
		memcpy(name_.get(), path, length);
		memcpy(name_.get() + length, ".XXXXXX", sizeof(".XXXXXX"));
		fd_.reset(mkostemp(name_.get(), O_CLOEXEC));
		if (!fd_ || fchmod(fd_.get(), 0644) != 0) {
			int err = errno;
			if (fd_)
				unlink(name_.get());
			name_.reset();
			fd_.reset();
			errno = err;
			return false;
		}
		return true;
	}

	// Writes `doc` (compact, non-finite numbers as null) into the new file
	// and renames it over `path`. Only a document written in full, into a
	// file that make_safe would read (cache_file_refusal: one not longer
	// than kCacheFileMax, and still of one link), replaces the previous
	// one. true when stored; otherwise reported ("Failed to write JSON to
	// PATH: ...", "Not storing the document in PATH (N bytes): ..."), and
	// the previous document stays.
	bool store(const char *path, json_object *doc) {
		json_output_null_nonfinite(doc);
		const char *why = nullptr;
		struct stat st;
		if (json_object_to_fd(fd_.get(), doc, JSON_C_TO_STRING_PLAIN) < 0) {
			why = json_util_get_last_err();
		} else if (fstat(fd_.get(), &st) != 0) {
			why = strerror(errno);
		} else if (const char *refused = cache_file_refusal(&st)) {
			fprintf(stderr, "Not storing the document in %s (%lld bytes): %s\n", path,
			        static_cast<long long>(st.st_size), refused);
			return false;
		} else if (!commit(path)) {
			why = strerror(errno);
		} else {
			return true;
		}
		fprintf(stderr, "Failed to write JSON to %s: %s\n", path,
		        why != nullptr ? why : "unknown error");
		return false;
	}

	// Writes `length` bytes of `text` into the new file and renames it over
	// `path`. false with errno set; the previous file then stays.
	bool store_text(const char *path, const char *text, size_t length) {
		while (length != 0) {
			ssize_t n = write(fd_.get(), text, length);
			if (n < 0 && errno == EINTR)
				continue;
			if (n <= 0)
				return false;
			text += n;
			length -= static_cast<size_t>(n);
		}
		return commit(path);
	}

private:
	// Closes the new file and renames it over `path`; false with errno
	// set.
	bool commit(const char *path) {
		if (close(fd_.release()) != 0 || !rename_over(path))
			return false;
		name_.reset(); // renamed: nothing left to remove
		return true;
	}

	// Renames the new file over `path`. No rename replaces a directory:
	// another user's is moved aside first, and when the rename meets one
	// anew (its owner may make one again at once), that too, up to a few
	// times. false with errno set (EISDIR: a directory of our own user's).
	bool rename_over(const char *path) {
		for (int tries = 1;; tries++) {
			if (rename(name_.get(), path) == 0)
				return true;
			if (errno != EISDIR || tries == kRenameTries || !move_directory_aside(path))
				return false;
		}
	}

	static constexpr int kRenameTries = 4;

	TextPtr name_;
	Fd fd_;
};

// Whether "kRefreshCommand NAME" fits the size of paths and commands.
bool refresh_command_fits(const char *name) {
	char command[kCachePathSize];
	return name != nullptr &&
	       format_fits(command, sizeof command, "%s %s", kRefreshCommand, name);
}

} // namespace

bool cache_file_path(const char *name, char *path) {
	return name != nullptr && format_fits(path, kCachePathSize, kCacheFileFormat, name);
}

bool lock_file_path(const char *name, char *path) {
	return name != nullptr && format_fits(path, kLockPathSize, kLockFileFormat, name);
}

const char *cache_file_refusal(const struct stat *st) {
	if (!S_ISREG(st->st_mode))
		return "not a regular file";
	if (st->st_uid != geteuid())
		return "owned by another user";
	if ((st->st_mode & (S_IWGRP | S_IWOTH)) != 0)
		return "writable by group or others";
	if (st->st_nlink != 1)
		return "more than one link";
	if (st->st_size > static_cast<off_t>(kCacheFileMax))
		return "larger than 4 MiB";
	return nullptr;
}

json_object *make_safe(const char *name) {
	char path[kCachePathSize];
	if (!cache_file_path(name, path))
		return nullptr;
	// Looked at before it is opened, so that what another user left there
	// (a FIFO, a device) is never opened; and again once open. A refresh
	// may rename a new document over the path in between: the file opened
	// is then that document, root's like the one looked at (in sticky
	// /tmp nobody else can replace root's file).
	struct stat st;
	if (lstat(path, &st) != 0 || cache_file_refusal(&st) != nullptr)
		return nullptr;
	Fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
	if (!fd || fstat(fd.get(), &st) != 0)
		return nullptr;
	// A refresh that renamed its document over the path after the open
	// leaves the file opened without a link: it is still the whole
	// document that stood at the path, and is served.
	if (st.st_nlink == 0)
		st.st_nlink = 1;
	if (cache_file_refusal(&st) != nullptr)
		return nullptr;
	return json_object_from_fd(fd.get());
}

json_object *update_cache_file(const char *path, const char *name, int fallback) {
	if (path == nullptr || !refresh_command_fits(name))
		return nullptr;

	char lock_path[kLockPathSize];
	LockFailure failure;
	const char *why;
	Fd lock = take_refresh_lock(name, true, lock_path, &failure, &why);
	NewFile file;
	if (!lock) {
		report_lock_failure(lock_path, failure, errno, why);
	} else if (!file.create(path)) {
		fprintf(stderr, "Failed to open %s: %s\n", path, strerror(errno));
		lock.reset();
	}
	bool succeeded;
	if (!lock) {
		// Without a file: the command's document for the caller alone.
		return fallback != 0 ? run_refresh_command(name, 0, &succeeded) : nullptr;
	}
	json_object *doc = run_refresh_command(name, 0, &succeeded);
	// Stored also when the command failed after printing it whole.
	if (doc != nullptr)
		file.store(path, doc);
	return doc;
}

bool store_text_file(const char *path, const char *text, size_t length) {
	NewFile file;
	return file.create(path) && file.store_text(path, text, length);
}

CacheRefresh refresh_cache_file(const char *path, const char *name, int bound_s) {
	if (path == nullptr || !refresh_command_fits(name))
		return CacheRefresh::NotStored;

	char lock_path[kLockPathSize];
	LockFailure failure;
	const char *why;
	Fd lock = take_refresh_lock(name, false, lock_path, &failure, &why);
	if (!lock) {
		if (failure == LockFailure::Lock && errno == EWOULDBLOCK)
			return CacheRefresh::UnderWay;
		report_lock_failure(lock_path, failure, errno, why);
		return CacheRefresh::NotStored;
	}
	NewFile file;
	if (!file.create(path)) {
		fprintf(stderr, "Failed to open %s: %s\n", path, strerror(errno));
		return CacheRefresh::NotStored;
	}
	bool succeeded;
	JsonPtr doc(run_refresh_command(name, bound_s, &succeeded));
	if (doc == nullptr || !succeeded)
		return CacheRefresh::NotStored;
	return file.store(path, doc.get()) ? CacheRefresh::Stored : CacheRefresh::NotStored;
}

} // namespace kavond
