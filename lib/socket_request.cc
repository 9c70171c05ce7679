// Requests to local daemons over a UNIX stream socket: connect, write one
// request text, shut down the writing side, read the answer until the
// daemon closes. Every wait on the socket gives up after a bounded
// silence, so a daemon that accepts and never answers cannot hold its
// caller.
#include <json-c/json.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <errno.h>

#include "holders.h"
#include "internal.h"

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
	timeval limit = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
	if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
	    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0)
		return -errno;
	return 0;
}

// Sends all `length` bytes of `data`. A stream socket may take fewer bytes
// than offered (a signal arriving mid-way); the rest is sent after them.
// MSG_NOSIGNAL: a daemon that closed early must give EPIPE, not a SIGPIPE
// that would end the calling program. 0, or -errno.
int send_all(int fd, const char *data, size_t length) {
	size_t sent = 0;
	while (sent < length) {
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

} // namespace

int socket_request_timeout(const char *path, const char *request, char **answer,
                           int timeout_ms) {
	if (path == nullptr || request == nullptr) {
		errno = EINVAL;
		return -EINVAL;
	}
	sockaddr_un addr;
	// The path and its NUL must fit the path field; a longer path is
	// refused before anything is written into the address.
	size_t path_length = strnlen(path, sizeof addr.sun_path);
	if (path_length >= sizeof addr.sun_path) {
		errno = ENAMETOOLONG;
		return -ENAMETOOLONG;
	}

	Fd fd(socket(AF_UNIX, SOCK_STREAM, 0));
	if (!fd)
		return -errno;
	// Before connecting: a daemon that does not accept makes connect wait
	// once its backlog is full.
	if (int rc = limit_silence(fd.get(), timeout_ms); rc != 0)
		return rc;

	memset(&addr, 0, sizeof addr);
	addr.sun_family = AF_UNIX;
	memcpy(addr.sun_path, path, path_length + 1);
	if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0)
		return -wait_error(errno);

	// Nothing is added to the request: no NUL, newline or length prefix.
	// Its end is told by shutting down the writing side.
	if (int rc = send_all(fd.get(), request, strlen(request)); rc != 0)
		return rc;
	if (shutdown(fd.get(), SHUT_WR) != 0)
		return -errno;

	// The descriptor keeps its time-outs: the caller's reads give up after
	// the same silence.
	if (answer == nullptr)
		return fd.release();

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
	if (recv(fd.get(), buffer.get(), kAnswerBufferSize, MSG_PEEK | MSG_TRUNC) < 0 &&
	    wait_error(errno) == ETIMEDOUT) {
		errno = ETIMEDOUT;
		return -ETIMEDOUT;
	}
	*answer = buffer.release();
	fd.reset();
	errno = 0;
	return 0;
}

json_object *socket_request_json_timeout(const char *path, const char *request,
                                         int timeout_ms) {
	int rc = socket_request_timeout(path, request, nullptr, timeout_ms);
	if (rc < 0)
		return nullptr;
	Fd fd(rc);
	// Reads up to the end of the stream; NULL when reading or parsing
	// fails, a read that met the silence bound included.
	return json_object_from_fd(fd.get());
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
