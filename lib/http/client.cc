// The HTTP exchange: connect, send the request, read the answer through
// the framing, follow redirects. Waits run on the library's poll(2) loop;
// one time-out covers the whole request.
//
// Every report to the caller passes a callback that may disconnect the
// client or start a redirect's new exchange. Each of those steps moves the
// client's sequence number on; code that ran a callback goes on only
// while the number is the one it saw before.
#include "client.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "holders.h"
#include "framing.h"
#include "url.h"

namespace tarvik {

namespace {

// Bytes taken from the socket at a time while the head arrives; body bytes
// that come with the head wait here for the caller's read.
constexpr size_t kHeadBlock = 4096;
// The client's scratch block for large reads (uclient_scratch).
constexpr size_t kScratchBlock = 262144;

// "name\0value\0" entries, one after the other.
struct Pairs {
	TextPtr data;
	size_t len = 0;
	size_t cap = 0;
};

bool pairs_add(Pairs *p, const char *text, size_t n) {
	if (n > p->cap - p->len) {
		size_t cap = p->cap != 0 ? p->cap : 256;
		while (n > cap - p->len)
			cap *= 2;
		if (!resize_text(p->data, cap))
			return false;
		p->cap = cap;
	}
	memcpy(p->data.get() + p->len, text, n);
	p->len += n;
	return true;
}

// The entry named `name` (case-insensitive): its offset, or p->len.
size_t pairs_find(const Pairs *p, const char *name) {
	size_t at = 0;
	while (at < p->len) {
		const char *key = p->data.get() + at;
		if (strcasecmp(key, name) == 0)
			break;
		size_t key_len = strlen(key) + 1;
		at += key_len + strlen(key + key_len) + 1;
	}
	return at;
}

// Sending the request, reading the head, reading the body, answer whole,
// answer broken (cut short or not HTTP).
enum class Phase { Idle, Sending, Head, Body, Done, Broken };

struct Client;

// The loop's records, each with the client it reports to.
struct Watch {
	uloop_fd u; // first: the loop's callbacks receive &u
	Client *client;
};
struct Timer {
	uloop_timeout t; // first, likewise
	Client *client;
};

struct Client {
	uclient uc = {}; // first: the callbacks receive &uc
	const uclient_cb *cb = nullptr;
	TextPtr url;     // the URL of the current exchange, as requested
	UrlParts parts = {};
	int timeout_ms = 30000;
	Pairs request_headers; // the caller's, in order

	// The current exchange.
	Fd fd;
	int connect_error = 0; // a connect that failed before the loop ran
	Watch watch = {};
	Timer deadline = {};       // the whole request
	Timer connect_failed = {}; // reports connect_error from the loop
	bool started = false;              // the deadline runs
	Phase phase = Phase::Idle;
	TextPtr request;
	size_t request_len = 0;
	size_t request_sent = 0;
	HttpFramer framer = {};
	char in[kHeadBlock];
	size_t in_at = 0; // in[in_at, in_len): received, not yet framed as body
	size_t in_len = 0;
	bool surplus_checked = false; // looked for bytes behind a whole body
	bool eof = false;
	unsigned seq = 0;
	bool headers_ready = false; // header_done is running
	bool reading = false;       // data_read is running
	bool read_called = false;   // ... and has called uclient_read
	TextPtr scratch;            // uclient_scratch's block, once asked for

	~Client() { framer_release(&framer); }
};

Client *client_of(uclient *cl) { return reinterpret_cast<Client *>(cl); }
const Client *client_of(const uclient *cl) { return reinterpret_cast<const Client *>(cl); }


void report_error(Client *c, int code) {
	if (c->cb->error != nullptr)
		c->cb->error(&c->uc, code);
	uclient_disconnect(&c->uc);
}

void report_eof(Client *c, bool complete) {
	c->eof = complete;
	if (c->cb->data_eof != nullptr)
		c->cb->data_eof(&c->uc);
	// The client ends with its body either way.
	uclient_disconnect(&c->uc);
}

void send_request(Client *c) {
	int err = c->connect_error;
	socklen_t err_len = sizeof err;
	if (err == 0 && c->request_sent == 0 &&
	    getsockopt(c->fd.get(), SOL_SOCKET, SO_ERROR, &err, &err_len) != 0)
		err = errno;
	if (err != 0) {
		report_error(c, UCLIENT_ERROR_CONNECT);
		return;
	}
	// MSG_NOSIGNAL: a peer that closed early gives EPIPE, never SIGPIPE.
	ssize_t n = send(c->fd.get(), c->request.get() + c->request_sent,
	                 c->request_len - c->request_sent, MSG_NOSIGNAL);
	if (n < 0) {
		if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
			report_eof(c, false);
		return;
	}
	c->request_sent += static_cast<size_t>(n);
	if (c->request_sent == c->request_len) {
		c->phase = Phase::Head;
		uloop_fd_add(&c->watch.u, POLLIN);
	}
}

// Hands the body to the caller: data_read runs while it takes bytes and
// bytes that came with the head are still waiting (poll(2) would not
// report those), then the end is reported once the answer is whole or
// broken.
void deliver(Client *c) {
	for (;;) {
		unsigned seq = c->seq;
		size_t waiting = c->in_len - c->in_at;
		c->reading = true;
		c->read_called = false;
		c->cb->data_read(&c->uc);
		c->reading = false;
		if (c->seq != seq)
			return;
		if (c->phase == Phase::Done || c->phase == Phase::Broken) {
			report_eof(c, c->phase == Phase::Done);
			return;
		}
		if (!c->read_called) {
			// A caller that reads nothing waits for the time-out.
			uloop_fd_delete(&c->watch.u);
			return;
		}
		size_t left = c->in_len - c->in_at;
		if (left == 0 || left == waiting)
			return;
	}
}

void read_head(Client *c) {
	ssize_t got = recv(c->fd.get(), c->in, sizeof c->in, 0);
	if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
		return;
	if (got <= 0) { // closed or broken before the head was whole
		report_eof(c, false);
		return;
	}
	size_t body_len = 0;
	size_t used = framer_feed(&c->framer, c->in, static_cast<size_t>(got), &body_len);
	if (c->framer.state == FrameState::Broken) {
		report_eof(c, false);
		return;
	}
	if (c->framer.state != FrameState::HeadDone)
		return;
	c->in_at = used;
	c->in_len = static_cast<size_t>(got);

	unsigned seq = c->seq;
	c->headers_ready = true;
	c->cb->header_done(&c->uc);
	c->headers_ready = false;
	if (c->seq != seq)
		return;
	framer_body_start(&c->framer);
	c->phase = c->framer.state == FrameState::Done ? Phase::Done : Phase::Body;
	if (c->phase == Phase::Done || c->in_at < c->in_len)
		deliver(c);
}

void on_socket(uloop_fd *u, short) {
	Client *c = reinterpret_cast<Watch *>(u)->client;
	switch (c->phase) {
	case Phase::Sending:
		send_request(c);
		break;
	case Phase::Head:
		read_head(c);
		break;
	case Phase::Body:
		deliver(c);
		break;
	default:
		break;
	}
}

void on_deadline(uloop_timeout *t) {
	report_error(reinterpret_cast<Timer *>(t)->client, UCLIENT_ERROR_TIMEDOUT);
}

void on_connect_failed(uloop_timeout *t) {
	report_error(reinterpret_cast<Timer *>(t)->client, UCLIENT_ERROR_CONNECT);
}

// Ends the current exchange, if any: its socket closed, its reports gone.
void close_exchange(Client *c) {
	c->seq++;
	uloop_fd_delete(&c->watch.u);
	uloop_timeout_cancel(&c->connect_failed.t);
	c->fd.reset();
}

// A new exchange with the client's current URL, connecting. False when no
// socket can be had. A connection that fails at once (refused, or a host
// that does not resolve) is reported through the error callback once the
// request is made, as a refusal would be.
bool open_exchange(Client *c) {
	if (!uloop_is_up())
		return false;
	close_exchange(c);
	c->connect_error = 0;
	char port[8];
	snprintf(port, sizeof port, "%d", c->parts.port);
	addrinfo hints{};
	hints.ai_socktype = SOCK_STREAM;
	hints.ai_flags = AI_NUMERICSERV;
	addrinfo *addr = nullptr;
	if (getaddrinfo(c->parts.host.get(), port, &hints, &addr) != 0) {
		c->connect_error = EHOSTUNREACH;
	} else {
		c->fd.reset(socket(addr->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
		if (c->fd && connect(c->fd.get(), addr->ai_addr, addr->ai_addrlen) != 0 &&
		    errno != EINPROGRESS)
			c->connect_error = errno;
		freeaddrinfo(addr);
		if (!c->fd)
			return false;
	}
	c->watch.u.fd = c->fd.get();
	c->phase = Phase::Idle;
	c->request.reset();
	c->request_len = c->request_sent = 0;
	framer_reset(&c->framer);
	c->in_at = c->in_len = 0;
	c->surplus_checked = false;
	c->eof = false;
	if (!c->started) {
		c->started = true;
		uloop_timeout_set(&c->deadline.t, c->timeout_ms);
	}
	return true;
}

// "GET target HTTP/1.1", Host, then the caller's headers in their order.
bool build_request(Client *c) {
	const char *target = c->parts.target.get();
	const char *authority = c->parts.authority.get();
	const Pairs *h = &c->request_headers;
	size_t len = strlen("GET  HTTP/1.1\r\nHost: \r\n\r\n") + strlen(target) + strlen(authority) +
	             1 + 2 * h->len; // ": " and CRLF for each pair, at most
	TextPtr text(static_cast<char *>(malloc(len)));
	if (!text)
		return false;
	char *out = text.get();
	int at = snprintf(out, len, "GET %s HTTP/1.1\r\nHost: %s\r\n", target, authority);
	for (size_t i = 0; i < h->len;) {
		const char *name = h->data.get() + i;
		const char *value = name + strlen(name) + 1;
		at += snprintf(out + at, len - static_cast<size_t>(at), "%s: %s\r\n", name, value);
		i = static_cast<size_t>(value - h->data.get()) + strlen(value) + 1;
	}
	at += snprintf(out + at, len - static_cast<size_t>(at), "\r\n");
	c->request = std::move(text);
	c->request_len = static_cast<size_t>(at);
	c->request_sent = 0;
	return true;
}

bool start_request(Client *c) {
	if ((!c->fd && c->connect_error == 0) || c->phase != Phase::Idle || !build_request(c))
		return false;
	c->phase = Phase::Sending;
	if (c->connect_error != 0)
		return uloop_timeout_set(&c->connect_failed.t, 0) == 0;
	return uloop_fd_add(&c->watch.u, POLLOUT) == 0;
}

} // namespace

uclient *uclient_new(const char *url, const uclient_cb *cb) {
	if (url == nullptr || cb == nullptr)
		return nullptr;
	void *mem = calloc(1, sizeof(Client));
	if (mem == nullptr)
		return nullptr;
	Client *c = new (mem) Client();
	c->cb = cb;
	c->watch = {{-1, on_socket, 0, false, 0}, c};
	c->deadline = {{on_deadline, 0, nullptr, false}, c};
	c->connect_failed = {{on_connect_failed, 0, nullptr, false}, c};
	c->url.reset(strdup(url));
	if (!c->url || !url_split(url, &c->parts)) {
		uclient_free(&c->uc);
		return nullptr;
	}
	return &c->uc;
}

void uclient_free(uclient *cl) {
	if (cl == nullptr)
		return;
	Client *c = client_of(cl);
	close_exchange(c);
	uloop_timeout_cancel(&c->deadline.t);
	c->~Client();
	free(c);
}

int uclient_set_timeout(uclient *cl, int msecs) {
	if (msecs <= 0)
		return -1;
	client_of(cl)->timeout_ms = msecs;
	return 0;
}

int uclient_connect(uclient *cl) {
	Client *c = client_of(cl);
	if (c->started)
		return -1;
	return open_exchange(c) ? 0 : -1;
}

int uclient_http_set_request_type(uclient *, const char *type) {
	return strcmp(type, "GET") == 0 ? 0 : -1;
}

int uclient_http_reset_headers(uclient *cl) {
	client_of(cl)->request_headers.len = 0;
	return 0;
}

int uclient_http_set_header(uclient *cl, const char *name, const char *value) {
	// A line break would end the header early: refused.
	if (name[0] == '\0' || strpbrk(name, "\r\n: ") != nullptr || strpbrk(value, "\r\n") != nullptr)
		return -1;
	Pairs *h = &client_of(cl)->request_headers;
	size_t at = pairs_find(h, name);
	if (at < h->len) { // replaced: the old entry goes
		char *data = h->data.get();
		size_t name_len = strlen(data + at) + 1;
		size_t entry = name_len + strlen(data + at + name_len) + 1;
		memmove(data + at, data + at + entry, h->len - at - entry);
		h->len -= entry;
	}
	return pairs_add(h, name, strlen(name) + 1) && pairs_add(h, value, strlen(value) + 1) ? 0 : -1;
}

int uclient_request(uclient *cl) { return start_request(client_of(cl)) ? 0 : -1; }

int uclient_read(uclient *cl, char *buf, int len) {
	Client *c = client_of(cl);
	if (!c->reading || len <= 0)
		return 0;
	c->read_called = true;
	size_t cap = static_cast<size_t>(len);
	for (;;) {
		bool framed = c->framer.has_length;
		if (c->phase == Phase::Done) {
			// Bytes that had arrived behind a body of announced length
			// when it ended; what comes later cannot be seen.
			if (c->surplus_checked)
				return 0;
			c->surplus_checked = true;
			size_t n = c->in_len - c->in_at;
			if (n > 0) {
				n = n < cap ? n : cap;
				memcpy(buf, c->in + c->in_at, n);
				c->in_at = c->in_len;
				return framed ? static_cast<int>(n) : 0;
			}
			ssize_t got = recv(c->fd.get(), buf, cap, MSG_DONTWAIT);
			return got > 0 && framed ? static_cast<int>(got) : 0;
		}
		if (c->phase != Phase::Body)
			return 0;
		size_t got;
		if (c->in_at < c->in_len) {
			got = c->in_len - c->in_at < cap ? c->in_len - c->in_at : cap;
			memcpy(buf, c->in + c->in_at, got);
			c->in_at += got;
		} else {
			ssize_t n = recv(c->fd.get(), buf, cap, 0);
			if (n < 0) {
				if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
					c->phase = Phase::Broken;
				return 0;
			}
			if (n == 0) { // closed: that ends only a close-delimited body
				c->phase = framer_close(&c->framer) ? Phase::Done : Phase::Broken;
				c->surplus_checked = true;
				return 0;
			}
			got = static_cast<size_t>(n);
		}
		size_t body = 0;
		size_t used = framer_feed(&c->framer, buf, got, &body);
		if (c->framer.state == FrameState::Broken) {
			c->phase = Phase::Broken;
			return 0;
		}
		if (c->framer.state == FrameState::Done) {
			c->phase = Phase::Done;
			if (used < got && framed) {
				memmove(buf + body, buf + used, got - used);
				body += got - used;
				c->surplus_checked = true;
			}
		}
		if (body > 0)
			return static_cast<int>(body);
	}
}

char *uclient_scratch(uclient *cl, size_t *size) {
	Client *c = client_of(cl);
	if (!c->scratch)
		c->scratch.reset(static_cast<char *>(malloc(kScratchBlock)));
	*size = kScratchBlock;
	return c->scratch.get();
}

int uclient_waiting(const uclient *cl) {
	const Client *c = client_of(cl);
	int queued = 0;
	if (!c->fd || ioctl(c->fd.get(), FIONREAD, &queued) != 0 || queued < 0)
		queued = 0;
	size_t held = c->in_len - c->in_at;
	return static_cast<int>(held) + queued;
}

void uclient_disconnect(uclient *cl) {
	Client *c = client_of(cl);
	c->reading = false;
	c->seq++;
	uloop_fd_delete(&c->watch.u);
	uloop_timeout_cancel(&c->deadline.t);
	uloop_timeout_cancel(&c->connect_failed.t);
}

int uclient_http_redirect(uclient *cl) {
	Client *c = client_of(cl);
	if (!c->headers_ready)
		return 0;
	switch (c->framer.status) {
	case 301:
	case 302:
	case 307:
		break;
	default:
		return 0;
	}
	if (c->framer.location == nullptr)
		return 0;
	TextPtr next(url_resolve(c->url.get(), c->framer.location));
	UrlParts parts;
	if (!next || !url_split(next.get(), &parts))
		return -1;
	c->url = std::move(next);
	c->parts = std::move(parts);
	if (!open_exchange(c) || !start_request(c))
		return -1;
	return 1;
}

int uclient_status(const uclient *cl) {
	return client_of(cl)->framer.status;
}

bool uclient_data_eof(const uclient *cl) { return client_of(cl)->eof; }

bool uclient_content_length(const uclient *cl, uint64_t *length) {
	const Client *c = client_of(cl);
	if (!c->headers_ready || !c->framer.has_length)
		return false;
	*length = c->framer.length;
	return true;
}

} // namespace tarvik
