// Requests to local daemons over a UNIX stream socket: connect, write one
// request text, shut down the writing side, read the answer until the
// daemon closes.
#include <json-c/json.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

#include "holders.h"
#include "tarvik.h"

namespace tarvik {
namespace {

// The buffered form hands over this many bytes, of which the start of the
// answer is filled.
constexpr size_t kAnswerBufferSize = 4096;

// The whole address structure is the length given to connect.
static_assert(sizeof(sockaddr_un) == 110, "sockaddr_un is family plus 108 path bytes");

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
			return -errno;
		}
		sent += static_cast<size_t>(n);
	}
	return 0;
}

} // namespace
} // namespace tarvik

using namespace tarvik;

extern "C" {

int socket_request(const char *path, const char *request, char **answer) {
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

	memset(&addr, 0, sizeof addr);
	addr.sun_family = AF_UNIX;
	memcpy(addr.sun_path, path, path_length + 1);
	if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0)
		return -errno;

	// Nothing is added to the request: no NUL, newline or length prefix.
	// Its end is told by shutting down the writing side.
	if (int rc = send_all(fd.get(), request, strlen(request)); rc != 0)
		return rc;
	if (shutdown(fd.get(), SHUT_WR) != 0)
		return -errno;

	if (answer == nullptr)
		return fd.release();

	// Zeroed: the caller is not told how many bytes arrived, so every byte
	// past them reads as 0 rather than as leftover heap contents.
	MallocPtr<char> buffer(static_cast<char *>(calloc(1, kAnswerBufferSize)));
	if (!buffer) {
		errno = ENOMEM;
		return -ENOMEM;
	}
	// One receive of the start of the answer; what it gives is not
	// examined (a failed receive leaves the buffer empty).
	(void)recv(fd.get(), buffer.get(), kAnswerBufferSize, MSG_PEEK | MSG_TRUNC);
	*answer = buffer.release();
	fd.reset();
	errno = 0;
	return 0;
}

json_object *socket_request_json(const char *path, const char *request) {
	int rc = socket_request(path, request, nullptr);
	if (rc < 0)
		return nullptr;
	Fd fd(rc);
	// Reads up to the end of the stream; NULL when reading or parsing fails.
	return json_object_from_fd(fd.get());
}

} // extern "C"
