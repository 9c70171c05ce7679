// Small RAII holders shared by every module of the library and of the
// providers, so that no failure path forgets to release what it took.
// Each holder owns exactly one resource; copying is deleted on purpose.
#ifndef TARVIK_HOLDERS_H
#define TARVIK_HOLDERS_H

#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>

#include "tarvik.h"

namespace tarvik {

struct JsonPut {
	void operator()(json_object *o) const { json_object_put(o); }
};
// One json-c reference. release() hands the reference on.
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

// A new reference to `o` (NULL stays NULL), for sharing a value.
inline json_object *json_ref(json_object *o) { return json_object_get(o); }

struct FreeDeleter {
	void operator()(void *p) const { free(p); }
};
// Memory from malloc/calloc, released with free.
template <class T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;
using TextPtr = MallocPtr<char>;

struct FileClose {
	void operator()(FILE *f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

// A file descriptor, closed on destruction. Closing keeps errno as it was,
// so that a failure path can still report the error that made it fail.
class Fd {
public:
	Fd() = default;
	explicit Fd(int fd) : fd_(fd) {}
	~Fd() { reset(); }
	Fd(Fd &&other) noexcept : fd_(other.release()) {}
	Fd &operator=(Fd &&other) noexcept {
		if (this != &other)
			reset(other.release());
		return *this;
	}
	Fd(const Fd &) = delete;
	Fd &operator=(const Fd &) = delete;

	int get() const { return fd_; }
	explicit operator bool() const { return fd_ >= 0; }
	int release() { return std::exchange(fd_, -1); }
	void reset(int fd = -1) {
		if (fd_ >= 0) {
			int saved = errno;
			::close(fd_);
			errno = saved;
		}
		fd_ = fd;
	}

private:
	int fd_ = -1;
};

struct ArpListFree {
	void operator()(ArpEntry *list) const { cleanup_arp_cache(list); }
};
// An ARP list (the library's ArpEntry chain), freed with cleanup_arp_cache.
using ArpListPtr = std::unique_ptr<ArpEntry, ArpListFree>;

} // namespace tarvik

#endif
