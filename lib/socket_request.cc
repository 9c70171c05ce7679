// Requests to local daemons over a UNIX stream socket: connect, write one
// request text, shut down the writing side, read the answer until the
// daemon closes. Every wait on the socket gives up after a bounded
// silence, the whole exchange after a bounded time, and the answer read
// here after a bounded length, its parse after a bounded estimate of what
// it costs: whoever listens on a daemon's socket (a hung daemon, or
// another program in its place) can hold its caller only for seconds, and
// take only a few MiB of its memory.
#include <json-c/json.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <errno.h>

#include "clock.h"
#include "holders.h"
#include "json_helpers.h"
#include "socket_request.h"
#include "tarvik.h"

namespace tarvik {
namespace {

// The buffered form hands over this many bytes, of which the start of the
// answer is filled.
constexpr size_t kAnswerBufferSize = 4096;

// The whole address structure is the length given to connect.
static_assert(sizeof(sockaddr_un) == 110, "sockaddr_un is family plus 108 path bytes");

// A wait that ran out of time shows as EAGAIN on a socket with a time-out;
// the caller is told ETIMEDOUT.
int wait_error(int error) { return error == EAGAIN || error == EWOULDBLOCK ? ETIMEDOUT : error; }

// Gives every blocking call on `fd` (connect, send, recv, read) at most
// `timeout_ms` of silence: the call then fails with EAGAIN. 0, or -errno.
int limit_silence(int fd, int timeout_ms) {
	timeval limit = ms_to_timeval(timeout_ms);
	if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
	    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0)
		return -errno;
	return 0;
}

// Bounds the next blocking call on `fd` by the silence bound, or by what
// is left of the exchange when that is less. -ETIMEDOUT when nothing is
// left (a time-out of 0 would mean no bound at all); 0, or -errno.
int bound_next_wait(int fd, int silence_ms, const Deadline &deadline) {
	int left = deadline.remaining_ms();
	if (left <= 0)
		return -ETIMEDOUT;
	return limit_silence(fd, left < silence_ms ? left : silence_ms);
}

// Sends all `length` bytes of `data`. A stream socket may take fewer bytes
// than offered (a time-out or a signal arriving mid-way); the rest is sent
// after them, within what is left of the exchange. MSG_NOSIGNAL: a daemon
// that closed early must give EPIPE, not a SIGPIPE that would end the
// calling program. 0, or -errno.
int send_all(int fd, const char *data, size_t length, int silence_ms, const Deadline &deadline) {
	size_t sent = 0;
	while (sent < length) {
		if (int rc = bound_next_wait(fd, silence_ms, deadline); rc != 0)
			return rc;
		ssize_t n = send(fd, data + sent, length - sent, MSG_NOSIGNAL);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return -wait_error(errno);
		}
		sent += static_cast<size_t>(n);
	}
	return 0;
}

// Connects to `path`, sends `request` and shuts down the writing side,
// within the bounds: the connected descriptor, or -errno.
int start_exchange(const char *path, const char *request, int silence_ms,
                   const Deadline &deadline) {
	if (path == nullptr || request == nullptr)
		return -EINVAL;
	sockaddr_un addr;
	// The path and its NUL must fit the path field; a longer path is
	// refused before anything is written into the address.
	size_t path_length = strnlen(path, sizeof addr.sun_path);
	if (path_length >= sizeof addr.sun_path)
		return -ENAMETOOLONG;

	Fd fd(socket(AF_UNIX, SOCK_STREAM, 0));
	if (!fd)
		return -errno;
	// Before connecting: a daemon that does not accept makes connect wait
	// once its backlog is full.
	if (int rc = bound_next_wait(fd.get(), silence_ms, deadline); rc != 0)
		return rc;

	memset(&addr, 0, sizeof addr);
	addr.sun_family = AF_UNIX;
	memcpy(addr.sun_path, path, path_length + 1);
	if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0)
		return -wait_error(errno);

	// Nothing is added to the request: no NUL, newline or length prefix.
	// Its end is told by shutting down the writing side.
	if (int rc = send_all(fd.get(), request, strlen(request), silence_ms, deadline); rc != 0)
		return rc;
	if (shutdown(fd.get(), SHUT_WR) != 0)
		return -errno;
	return fd.release();
}

// Reads the answer on `fd` to its end, within the bounds, into a new
// NUL-terminated heap text: 0 with `*text` (caller frees) and `*length`;
// -EMSGSIZE as soon as more than `answer_max` bytes arrived, or -errno.
// At most `answer_max` + 1 bytes are ever held.
int read_answer(int fd, int silence_ms, const Deadline &deadline, size_t answer_max,
                char **text, size_t *length) {
	size_t most = answer_max + 2; // one byte over the bound, and the terminator
	size_t capacity = most < 16384 ? most : 16384;
	TextPtr buffer(static_cast<char *>(malloc(capacity)));
	if (!buffer)
		return -ENOMEM;
	size_t used = 0;
	for (;;) {
		// Full but for the terminator's byte: grown, never past `most`
		// (an answer that reaches it is refused below).
		if (used + 1 == capacity) {
			size_t larger = capacity < most / 2 ? capacity * 2 : most;
			if (!resize_text(buffer, larger))
				return -ENOMEM;
			capacity = larger;
		}
		if (int rc = bound_next_wait(fd, silence_ms, deadline); rc != 0)
			return rc;
		ssize_t n = recv(fd, buffer.get() + used, capacity - 1 - used, 0);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return -wait_error(errno);
		}
		if (n == 0)
			break;
		used += static_cast<size_t>(n);
		if (used > answer_max)
			return -EMSGSIZE;
	}
	buffer.get()[used] = '\0';
	*text = buffer.release();
	*length = used;
	return 0;
}

// The one JSON value at the start of `text` (`length` bytes), parsed as
// json_object_from_fd parses what it read; NULL when there is none.
json_object *parse_answer(const char *text, size_t length) {
	json_tokener *tokener = json_tokener_new_ex(JSON_TOKENER_DEFAULT_DEPTH);
	if (tokener == nullptr)
		return nullptr;
	json_object *value = json_tokener_parse_ex(tokener, text, static_cast<int>(length));
	json_tokener_free(tokener);
	return value;
}

} // namespace

int socket_request_timeout(const char *path, const char *request, char **answer,
                           int timeout_ms, int exchange_ms) {
	Deadline deadline(exchange_ms);
	int rc = start_exchange(path, request, timeout_ms, deadline);
	if (rc < 0) {
		errno = -rc;
		return rc;
	}
	Fd fd(rc);

	// The descriptor handed over keeps the silence bound for the caller's
	// reads; the rest of the exchange is the caller's to bound.
	if (answer == nullptr) {
		if (int limited = limit_silence(fd.get(), timeout_ms); limited != 0)
			return limited;
		return fd.release();
	}

	// Zeroed: the caller is not told how many bytes arrived, so every byte
	// past them reads as 0 rather than as leftover heap contents.
	MallocPtr<char> buffer(static_cast<char *>(calloc(1, kAnswerBufferSize)));
	if (!buffer) {
		errno = ENOMEM;
		return -ENOMEM;
	}
	// One receive of the start of the answer. A daemon that stays silent
	// fails the request; any other outcome hands the buffer over as it is
	// (a failed receive leaves it empty).
	rc = bound_next_wait(fd.get(), timeout_ms, deadline);
	if (rc == 0 && recv(fd.get(), buffer.get(), kAnswerBufferSize, MSG_PEEK | MSG_TRUNC) < 0 &&
	    wait_error(errno) == ETIMEDOUT)
		rc = -ETIMEDOUT;
	if (rc != 0) {
		errno = -rc;
		return rc;
	}
	*answer = buffer.release();
	fd.reset();
	errno = 0;
	return 0;
}

json_object *socket_request_json_timeout(const char *path, const char *request, int timeout_ms,
                                         int exchange_ms, size_t answer_max, int *error) {
	Deadline deadline(exchange_ms);
	json_object *value = nullptr;
	int rc = start_exchange(path, request, timeout_ms, deadline);
	if (rc >= 0) {
		Fd fd(rc);
		char *text = nullptr;
		size_t length = 0;
		rc = read_answer(fd.get(), timeout_ms, deadline, answer_max, &text, &length);
		if (rc == 0) {
			TextPtr held(text);
			// What the parse may cost is bounded before parsing, like
			// the answer's bytes.
			if (!json_parse_affordable(held.get(), length, TARVIK_MAX_PARSE_BYTES)) {
				rc = -EMSGSIZE;
			} else {
				value = parse_answer(held.get(), length);
				rc = value != nullptr ? 0 : -EINVAL;
			}
		}
	}
	if (error != nullptr)
		*error = rc;
	return value;
}

} // namespace tarvik

using namespace tarvik;

extern "C" {

int socket_request(const char *path, const char *request, char **answer) {
	return socket_request_timeout(path, request, answer, kSocketSilenceMs);
}

json_object *socket_request_json(const char *path, const char *request) {
	return socket_request_json_timeout(path, request, kSocketSilenceMs);
}

} // extern "C"
