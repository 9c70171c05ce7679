// The HTTP exchange: connect, send the request, frame the answer. The
// socket is non-blocking; each wait is one poll(2) against the request's
// deadline.
#include "client.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvik {

namespace {

int fail(HttpClient *c, int code, const char *reason) {
	c->phase = Phase::Broken;
	c->verdict = code;
	c->reason = reason;
	return code;
}

// Waits for `events` on the socket until the deadline: 0, or the verdict.
// A wait that fails for any reason but a signal ends the exchange: it
// must never pass for an answer.
int wait_for(HttpClient *c, short events) {
	for (;;) {
		pollfd p = {c->fd.get(), events, 0};
		int ready = poll(&p, 1, c->deadline->remaining_ms());
		if (ready > 0)
			return 0;
		if (ready == 0)
			return fail(c, FETCH_ERR_TIMEOUT, "no answer before the deadline");
		if (errno != EINTR)
			return fail(c, FETCH_ERR_CONNECT, "waiting for the socket failed");
	}
}

int connect_to(HttpClient *c, const UrlParts &url) {
	char port[8];
	snprintf(port, sizeof port, "%d", url.port);
	addrinfo hints{};
	hints.ai_socktype = SOCK_STREAM;
	hints.ai_flags = AI_NUMERICSERV;
	addrinfo *addr = nullptr;
	if (getaddrinfo(url.host.get(), port, &hints, &addr) != 0)
		return fail(c, FETCH_ERR_CONNECT, "the host does not resolve");
	c->fd.reset(socket(addr->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
	bool started = c->fd && (connect(c->fd.get(), addr->ai_addr, addr->ai_addrlen) == 0 ||
	                         errno == EINPROGRESS);
	freeaddrinfo(addr);
	if (!started)
		return fail(c, FETCH_ERR_CONNECT, "connecting failed");
	if (wait_for(c, POLLOUT) != 0)
		return c->verdict;
	int err = 0;
	socklen_t err_len = sizeof err;
	if (getsockopt(c->fd.get(), SOL_SOCKET, SO_ERROR, &err, &err_len) != 0 || err != 0)
		return fail(c, FETCH_ERR_CONNECT, "connecting failed");
	return 0;
}

int send_request(HttpClient *c, const UrlParts &url) {
	const char *format = "GET %s HTTP/1.1\r\nHost: %s\r\nUser-Agent: tarvik (libuclient)\r\n\r\n";
	size_t len = strlen(format) + strlen(url.target.get()) + strlen(url.authority.get());
	TextPtr request(static_cast<char *>(malloc(len)));
	if (!request)
		return fail(c, FETCH_ERR_CONNECT, "out of memory");
	size_t left = static_cast<size_t>(
	    snprintf(request.get(), len, format, url.target.get(), url.authority.get()));
	const char *at = request.get();
	while (left > 0) {
		// MSG_NOSIGNAL: a peer that closed early gives EPIPE, never SIGPIPE.
		ssize_t n = send(c->fd.get(), at, left, MSG_NOSIGNAL);
		if (n >= 0) {
			at += n;
			left -= static_cast<size_t>(n);
		} else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
			if (wait_for(c, POLLOUT) != 0)
				return c->verdict;
		} else {
			return fail(c, FETCH_ERR_PREMATURE_EOF, "sending the request failed");
		}
	}
	return 0;
}

int read_head(HttpClient *c) {
	for (;;) {
		if (wait_for(c, POLLIN) != 0)
			return c->verdict;
		ssize_t got = recv(c->fd.get(), c->head, sizeof c->head, 0);
		if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
			continue;
		if (got <= 0)
			return fail(c, FETCH_ERR_PREMATURE_EOF, "closed before the head ended");
		size_t body_len = 0;
		size_t used = framer_feed(&c->framer, c->head, static_cast<size_t>(got), &body_len);
		if (c->framer.state == FrameState::Broken)
			return fail(c, FETCH_ERR_PREMATURE_EOF, framer_error_text(c->framer.error));
		if (c->framer.state == FrameState::HeadDone) {
			c->head_at = used;
			c->head_len = static_cast<size_t>(got);
			return 0;
		}
	}
}

// The body is whole. Bytes behind a body of announced length (left in the
// block just framed, or already waiting on the socket) make the answer
// malformed; bytes that come only later cannot be told from a server
// that closes late.
int body_done(HttpClient *c, size_t surplus) {
	c->phase = Phase::Done;
	if (!c->framer.has_length)
		return 0;
	char probe;
	if (surplus == 0 && c->head_at == c->head_len &&
	    recv(c->fd.get(), &probe, 1, MSG_DONTWAIT | MSG_PEEK) <= 0)
		return 0;
	fail(c, FETCH_ERR_SIZE, "bytes after the body");
	return -1;
}

} // namespace

int client_begin(HttpClient *c, const UrlParts &url, const Deadline &deadline) {
	c->fd.reset();
	framer_reset(&c->framer);
	c->deadline = &deadline;
	c->phase = Phase::Idle;
	c->verdict = 0;
	c->reason = nullptr;
	c->head_at = c->head_len = 0;
	int rc = connect_to(c, url);
	if (rc == 0)
		rc = send_request(c, url);
	if (rc == 0)
		rc = read_head(c);
	if (rc != 0)
		return rc;
	framer_body_start(&c->framer);
	c->phase = Phase::Body;
	if (c->framer.state == FrameState::Done)
		body_done(c, 0);
	return 0;
}

int client_wait(HttpClient *c) {
	if (c->phase != Phase::Body || c->head_at < c->head_len)
		return 0;
	return wait_for(c, POLLIN);
}

int uclient_read(uclient *cl, char *buf, int len) {
	HttpClient *c = client_of(cl);
	c->read_called = true;
	if (c->phase != Phase::Body || len <= 0)
		return c->phase == Phase::Broken ? -1 : 0;
	size_t cap = static_cast<size_t>(len);
	for (;;) {
		size_t got;
		if (c->head_at < c->head_len) {
			got = c->head_len - c->head_at < cap ? c->head_len - c->head_at : cap;
			memcpy(buf, c->head + c->head_at, got);
			c->head_at += got;
		} else {
			ssize_t n = recv(c->fd.get(), buf, cap, MSG_DONTWAIT);
			if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
				return 0;
			if (n < 0) {
				fail(c, FETCH_ERR_PREMATURE_EOF, "receiving failed");
				return -1;
			}
			if (n == 0) { // closed: that ends only a close-delimited body
				if (framer_close(&c->framer))
					return body_done(c, 0);
				fail(c, FETCH_ERR_PREMATURE_EOF, framer_error_text(c->framer.error));
				return -1;
			}
			got = static_cast<size_t>(n);
		}
		size_t body = 0;
		size_t used = framer_feed(&c->framer, buf, got, &body);
		if (c->framer.state == FrameState::Broken) {
			fail(c, FETCH_ERR_PREMATURE_EOF, framer_error_text(c->framer.error));
			return -1;
		}
		if (c->framer.state == FrameState::Done && body_done(c, got - used) < 0)
			return -1;
		if (body > 0 || c->phase == Phase::Done)
			return static_cast<int>(body);
	}
}

bool client_body_length(const HttpClient *c, uint64_t *length) {
	if (c->phase == Phase::Idle || !c->framer.has_length)
		return false;
	*length = c->framer.length;
	return true;
}

} // namespace tarvik
