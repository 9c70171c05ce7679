// Small RAII holders shared by every module of the library and of the
// providers, so that no failure path forgets to release what it took.
// Each holder owns exactly one resource; copying is deleted on purpose.
// (Owner stands in for std::unique_ptr: <memory> does not compile against
// musl in C++20, and the router build uses musl.)
#ifndef TARVIK_HOLDERS_H
#define TARVIK_HOLDERS_H

#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <errno.h>
#include <utility>

namespace tarvik {

// Owns one T*, released with Release()(pointer) unless it is NULL. The
// interface is the part of std::unique_ptr this code uses: get, release,
// reset, *, ->, test for NULL, move only.
template <class T, class Release>
class Owner {
	using Null = decltype(nullptr);

public:
	constexpr Owner() noexcept = default;
	constexpr Owner(Null) noexcept {}
	explicit Owner(T *p) noexcept : p_(p) {}
	~Owner() { reset(); }
	Owner(Owner &&other) noexcept : p_(other.release()) {}
	Owner &operator=(Owner &&other) noexcept {
		if (this != &other)
			reset(other.release());
		return *this;
	}
	Owner &operator=(Null) noexcept {
		reset();
		return *this;
	}
	Owner(const Owner &) = delete;
	Owner &operator=(const Owner &) = delete;

	T *get() const noexcept { return p_; }
	T *release() noexcept { return std::exchange(p_, nullptr); }
	// Holds `p`, then releases what was held before.
	void reset(T *p = nullptr) noexcept {
		T *old = std::exchange(p_, p);
		if (old)
			Release()(old);
	}
	T &operator*() const noexcept { return *p_; }
	T *operator->() const noexcept { return p_; }
	explicit operator bool() const noexcept { return p_ != nullptr; }
	friend bool operator==(const Owner &a, Null) noexcept { return !a.p_; }

private:
	T *p_ = nullptr;
};

struct JsonPut {
	void operator()(json_object *o) const { json_object_put(o); }
};
// One json-c reference. release() hands the reference on.
using JsonPtr = Owner<json_object, JsonPut>;

// A new reference to `o` (NULL stays NULL), for sharing a value.
inline json_object *json_ref(json_object *o) { return json_object_get(o); }

struct FreeDeleter {
	void operator()(void *p) const { free(p); }
};
// Memory from malloc/calloc, released with free.
template <class T>
using MallocPtr = Owner<T, FreeDeleter>;
using TextPtr = MallocPtr<char>;

// Resizes the heap text that `text` holds to `size` bytes, as realloc
// does; false, with the text held as it was, when memory runs out.
inline bool resize_text(TextPtr &text, size_t size) {
	char *resized = static_cast<char *>(realloc(text.get(), size));
	if (resized == nullptr)
		return false;
	(void)text.release();
	text.reset(resized);
	return true;
}

struct FileClose {
	void operator()(FILE *f) const { fclose(f); }
};
using FilePtr = Owner<FILE, FileClose>;

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

} // namespace tarvik

#endif
