// HTTP client and event loop. libevent's event_base waits for the socket
// and keeps the idle time-out; the socket is read here, straight into the
// caller's buffer, and http-parser frames each answer (status line,
// headers, Content-Length, chunked or close-delimited body).
//
// Every HTTP exchange of a client (the first request and each redirect)
// is a Hop: its own connection and event. Only the client's current Hop,
// and only until the client is disconnected, reaches the caller's
// callbacks. A Hop left behind is closed at once; the records are
// released together in uclient_free, never inside a callback.
//
// Content-Length follows the fetch client's own rules
// (parse_content_length): they ignore values that http-parser refuses
// ("+12", "abc") or obeys (2^31 and more). So the parser never sees an
// answer's Content-Length lines: in place of the first it is given the
// value those rules read, or nothing where they ignore it. To see such a
// line whole, the head is given to the parser a complete line at a time;
// it is only peeked at first, so that the body stays in the socket for
// the caller's buffer.
#include "uclient.h"

#include <errno.h>
#include <event2/event.h>
#include <http_parser.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include "clock.h"
#include "holders.h"

namespace tarvik {

bool uloop_cancelled;

namespace {

event_base *loop_base;

// The longest head line taken, and the most looked at in one go while a
// head arrives.
constexpr size_t kHeadBlock = 65536;

struct Client;

struct Hop {
	Client *client;
	int fd;            // -1 when no connection could be started
	int connect_error; // a connect that failed before the loop ran
	event *ev;         // the socket's readiness and the idle time-out
	Hop *next;         // older hops
};

// "name\0value\0" entries, one after the other.
struct Pairs {
	char *data;
	size_t len;
	size_t cap;
};

bool pairs_add(Pairs *p, const char *text, size_t n) {
	if (n > p->cap - p->len) {
		size_t cap = p->cap != 0 ? p->cap : 256;
		while (n > cap - p->len)
			cap *= 2;
		char *grown = static_cast<char *>(realloc(p->data, cap));
		if (grown == nullptr)
			return false;
		p->data = grown;
		p->cap = cap;
	}
	memcpy(p->data + p->len, text, n);
	p->len += n;
	return true;
}

// The entry named `name` (case-insensitive): its offset, or p->len.
size_t pairs_find(const Pairs *p, const char *name) {
	size_t at = 0;
	while (at < p->len) {
		const char *key = p->data + at;
		if (strcasecmp(key, name) == 0)
			break;
		size_t key_len = strlen(key) + 1;
		at += key_len + strlen(key + key_len) + 1;
	}
	return at;
}

const char *pairs_value(const Pairs *p, const char *name) {
	size_t at = pairs_find(p, name);
	return at < p->len ? p->data + at + strlen(p->data + at) + 1 : nullptr;
}

// Sending the request, reading the head, reading the body, body whole,
// answer broken (cut short or not HTTP).
enum class Phase { Idle, Sending, Head, Body, Done, Broken };

struct Client {
	uclient uc; // first: the callbacks receive &uc
	const uclient_cb *cb;
	char *url;       // the URL of the current hop, as requested
	char *host;      // host of `url`, without brackets
	char *authority; // host[:port] of `url`, for the Host header
	char *target;    // the request target of `url`, sent verbatim
	int port;
	int timeout_ms;
	Pairs request_headers; // the caller's, in order
	Hop *hops;             // newest first: the current one

	// The current exchange.
	Phase phase;
	char *request;
	size_t request_len;
	size_t request_sent;
	http_parser parser;
	char *head;           // kHeadBlock bytes: a head line still incomplete
	size_t head_have;
	bool status_line_seen;
	bool length_seen;     // a Content-Length line has been met
	char head_last;       // the head's last byte, parsed after header_done
	Pairs answer_headers; // values without outer blanks
	enum { kNone, kField, kValue } last;
	size_t value_start;
	bool out_of_memory;
	bool length_framed;   // the body runs to the Content-Length given
	bool surplus_checked; // looked for bytes behind a whole body
	char *out;            // where on_body gathers body bytes
	size_t out_len;
	int status;
	bool eof;
	bool disconnected;
	bool headers_ready; // header_done is running
	bool reading;       // data_read is running
	bool read_called;   // ... and has called uclient_read
};

Client *client_of(uclient *cl) { return reinterpret_cast<Client *>(cl); }
const Client *client_of(const uclient *cl) { return reinterpret_cast<const Client *>(cl); }

// Whether a report about `hop` still concerns the caller.
bool live(const Hop *hop) {
	const Client *c = hop->client;
	return !c->disconnected && c->hops == hop;
}

// Splits "http://[user@]host[:port][/target]" into the client's fields.
bool set_url(Client *c, const char *url) {
	if (strncasecmp(url, "http://", 7) != 0)
		return false;
	const char *auth = url + 7;
	const char *slash = strchr(auth, '/');
	size_t auth_len = slash ? static_cast<size_t>(slash - auth) : strlen(auth);
	const char *at = static_cast<const char *>(memchr(auth, '@', auth_len));
	if (at != nullptr) {
		auth_len -= static_cast<size_t>(at + 1 - auth);
		auth = at + 1;
	}
	if (auth_len == 0)
		return false;

	const char *host = auth;
	size_t host_len;
	const char *rest;
	if (auth[0] == '[') {
		const char *close = static_cast<const char *>(memchr(auth, ']', auth_len));
		if (close == nullptr)
			return false;
		host = auth + 1;
		host_len = static_cast<size_t>(close - host);
		rest = close + 1;
	} else {
		const char *colon = static_cast<const char *>(memchr(auth, ':', auth_len));
		host_len = colon ? static_cast<size_t>(colon - auth) : auth_len;
		rest = auth + host_len;
	}
	if (host_len == 0)
		return false;
	int port = 80;
	const char *auth_end = auth + auth_len;
	if (rest < auth_end) {
		if (*rest != ':' || rest + 1 == auth_end)
			return false;
		port = 0;
		for (const char *p = rest + 1; p < auth_end; p++) {
			if (*p < '0' || *p > '9')
				return false;
			port = port * 10 + (*p - '0');
			if (port > 65535)
				return false;
		}
		if (port == 0)
			return false;
	}

	TextPtr new_url(strdup(url));
	TextPtr new_host(strndup(host, host_len));
	TextPtr new_authority(strndup(auth, auth_len));
	TextPtr new_target(strdup(slash ? slash : "/"));
	if (!new_url || !new_host || !new_authority || !new_target)
		return false;
	free(c->url);
	free(c->host);
	free(c->authority);
	free(c->target);
	c->url = new_url.release();
	c->host = new_host.release();
	c->authority = new_authority.release();
	c->target = new_target.release();
	c->port = port;
	return true;
}

// The URL that `location` names, seen from `base`: an absolute URL, a
// network-path reference ("//host/..."), an absolute path, or a path
// relative to the directory of `base`'s path. NULL when it cannot be made.
char *resolve_location(const char *base, const char *location) {
	size_t scheme_len = strspn(location,
	    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+.-");
	if (scheme_len > 0 && location[scheme_len] == ':')
		return strdup(location);

	const char *auth = strstr(base, "://");
	if (auth == nullptr)
		return nullptr;
	auth += 3;
	if (location[0] == '/' && location[1] == '/') {
		size_t scheme = static_cast<size_t>(auth - 3 - base);
		char *out = static_cast<char *>(malloc(scheme + 1 + strlen(location) + 1));
		if (out != nullptr)
			sprintf(out, "%.*s:%s", static_cast<int>(scheme), base, location);
		return out;
	}
	const char *path = strchr(auth, '/');
	size_t keep;
	if (location[0] == '/')
		keep = path ? static_cast<size_t>(path - base) : strlen(base);
	else if (path == nullptr)
		keep = strlen(base); // "http://host" + "/" + location
	else
		keep = static_cast<size_t>(strrchr(path, '/') - base) + 1;
	bool add_slash = location[0] != '/' && path == nullptr;
	char *out = static_cast<char *>(malloc(keep + (add_slash ? 1 : 0) + strlen(location) + 1));
	if (out != nullptr)
		sprintf(out, "%.*s%s%s", static_cast<int>(keep), base, add_slash ? "/" : "", location);
	return out;
}

// ---- the parser's callbacks --------------------------------------------

Client *parsing(http_parser *p) { return static_cast<Client *>(p->data); }

// Ends the header entry being collected.
void end_entry(Client *c) {
	Pairs *h = &c->answer_headers;
	if (c->last == Client::kField) {
		c->out_of_memory |= !pairs_add(h, "", 1);
		c->value_start = h->len;
		c->last = Client::kValue;
	}
	if (c->last == Client::kValue) {
		while (h->len > c->value_start &&
		       (h->data[h->len - 1] == ' ' || h->data[h->len - 1] == '\t'))
			h->len--;
		c->out_of_memory |= !pairs_add(h, "", 1);
	}
	c->last = Client::kNone;
}

int on_header_field(http_parser *p, const char *at, size_t n) {
	Client *c = parsing(p);
	if (c->last != Client::kField)
		end_entry(c);
	c->out_of_memory |= !pairs_add(&c->answer_headers, at, n);
	c->last = Client::kField;
	return c->out_of_memory ? -1 : 0;
}

int on_header_value(http_parser *p, const char *at, size_t n) {
	Client *c = parsing(p);
	if (c->last == Client::kField) {
		c->out_of_memory |= !pairs_add(&c->answer_headers, "", 1);
		c->value_start = c->answer_headers.len;
	}
	c->out_of_memory |= !pairs_add(&c->answer_headers, at, n);
	c->last = Client::kValue;
	return c->out_of_memory ? -1 : 0;
}

// Stops the parser at the end of the head: the caller sees the headers
// before any body byte is parsed.
int on_headers_complete(http_parser *p) {
	Client *c = parsing(p);
	end_entry(c);
	c->status = p->status_code;
	http_parser_pause(p, 1);
	return c->out_of_memory ? -1 : 0;
}

// Body bytes gather at the front of the block they arrived in; they never
// overtake the bytes still to be parsed.
int on_body(http_parser *p, const char *at, size_t n) {
	Client *c = parsing(p);
	if (c->out == nullptr)
		return -1;
	memmove(c->out + c->out_len, at, n);
	c->out_len += n;
	return 0;
}

// Stops the parser at the end of the body: what follows is not parsed.
int on_message_complete(http_parser *p) {
	parsing(p)->phase = Phase::Done;
	http_parser_pause(p, 1);
	return 0;
}

const http_parser_settings kSettings = {
    .on_message_begin = nullptr,
    .on_url = nullptr,
    .on_status = nullptr,
    .on_header_field = on_header_field,
    .on_header_value = on_header_value,
    .on_headers_complete = on_headers_complete,
    .on_body = on_body,
    .on_message_complete = on_message_complete,
    .on_chunk_header = nullptr,
    .on_chunk_complete = nullptr,
};

// ---- reporting ----------------------------------------------------------

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

void on_socket(evutil_socket_t fd, short what, void *arg);

// Waits for `events` on the hop's socket (none: only for the time-out),
// the idle time-out starting anew.
void watch(Hop *hop, short events) {
	const Client *c = hop->client;
	event_del(hop->ev);
	event_assign(hop->ev, loop_base, hop->fd < 0 ? -1 : hop->fd,
	             hop->fd < 0 ? 0 : events, on_socket, hop);
	timeval tv = ms_to_timeval(c->timeout_ms);
	event_add(hop->ev, &tv);
}

// Closes a hop that no longer concerns the caller.
void retire(Hop *hop) {
	event_del(hop->ev);
	if (hop->fd >= 0)
		close(hop->fd);
	hop->fd = -1;
}

// ---- the exchange ---------------------------------------------------------

void send_request(Client *c, Hop *hop) {
	int err = hop->connect_error;
	socklen_t err_len = sizeof err;
	if (err == 0 && hop->fd >= 0 && c->request_sent == 0 &&
	    getsockopt(hop->fd, SOL_SOCKET, SO_ERROR, &err, &err_len) != 0)
		err = errno;
	if (err != 0 || hop->fd < 0) {
		report_error(c, UCLIENT_ERROR_CONNECT);
		return;
	}
	// MSG_NOSIGNAL: a peer that closed early gives EPIPE, never SIGPIPE.
	ssize_t n = send(hop->fd, c->request + c->request_sent, c->request_len - c->request_sent,
	                 MSG_NOSIGNAL);
	if (n < 0) {
		if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
			report_eof(c, false);
		return;
	}
	c->request_sent += static_cast<size_t>(n);
	if (c->request_sent == c->request_len) {
		c->phase = Phase::Head;
		watch(hop, EV_READ | EV_PERSIST);
	}
}

// Gives the parser `n` bytes of the head. When it stops at the head's end,
// *head_end is set to the offset (from `origin`) of the head's last byte,
// which the parser has not taken yet.
bool feed_head(Client *c, const char *origin, const char *data, size_t n, size_t *head_end) {
	if (n == 0) // no bytes would mean the end of the stream
		return true;
	size_t used = http_parser_execute(&c->parser, &kSettings, data, n);
	enum http_errno e = HTTP_PARSER_ERRNO(&c->parser);
	if (e == HPE_PAUSED) {
		*head_end = static_cast<size_t>(data - origin) + used;
		return true;
	}
	return e == HPE_OK;
}

// The first Content-Length line, as the fetch rules read it: a canonical
// line for the parser, or none where they ignore the value.
bool feed_length(Client *c, const char *line, size_t n) {
	const char *value = line + 15; // after "content-length:"
	const char *end = line + n;
	while (value < end && (*value == ' ' || *value == '\t'))
		value++;
	while (end > value && (end[-1] == '\n' || end[-1] == '\r' || end[-1] == ' ' || end[-1] == '\t'))
		end--;
	TextPtr text(strndup(value, static_cast<size_t>(end - value)));
	if (!text)
		return false;
	int32_t length = 0;
	if (!parse_content_length(text.get(), &length))
		return true;
	char canonical[32];
	int len = snprintf(canonical, sizeof canonical, "Content-Length: %d\r\n", static_cast<int>(length));
	size_t unused = 0;
	c->length_framed = true;
	return feed_head(c, canonical, canonical, static_cast<size_t>(len), &unused);
}

// Gives the parser the complete lines head[0..end), each Content-Length
// line but the first left out and that one as feed_length reads it. True
// unless the answer is no HTTP; *head_end as for feed_head.
bool feed_lines(Client *c, size_t end, size_t *head_end) {
	const char *buf = c->head;
	size_t batch = 0;
	for (size_t line = 0; line < end;) {
		size_t next = static_cast<size_t>(
		    static_cast<const char *>(memchr(buf + line, '\n', end - line)) - buf) + 1;
		if (!c->status_line_seen) {
			c->status_line_seen = true;
		} else if (next - line > 15 && strncasecmp(buf + line, "content-length:", 15) == 0) {
			if (!feed_head(c, buf, buf + batch, line - batch, head_end))
				return false;
			if (*head_end != SIZE_MAX)
				return true; // the line is body, not head
			if (!c->length_seen && !feed_length(c, buf + line, next - line))
				return false;
			c->length_seen = true;
			batch = next;
		}
		line = next;
	}
	return feed_head(c, buf, buf + batch, end - batch, head_end);
}

void deliver(Client *c, Hop *hop);

void read_head(Client *c, Hop *hop) {
	char *buf = c->head;
	size_t have = c->head_have;
	ssize_t got = recv(hop->fd, buf + have, kHeadBlock - have, MSG_PEEK);
	if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
		return;
	if (got <= 0) { // closed or broken before the head was whole
		report_eof(c, false);
		return;
	}
	size_t end = have + static_cast<size_t>(got);
	const char *last_lf = static_cast<const char *>(memrchr(buf + have, '\n', end - have));
	size_t lines_end = last_lf != nullptr ? static_cast<size_t>(last_lf - buf) + 1 : 0;
	size_t head_end = SIZE_MAX;
	if ((lines_end == 0 && end == kHeadBlock) ||
	    (lines_end > 0 && !feed_lines(c, lines_end, &head_end))) {
		report_eof(c, false);
		return;
	}
	// Take from the socket what was parsed: through the head's last byte,
	// or everything looked at while the head goes on (an incomplete line
	// is kept here for the next look).
	size_t take = (head_end != SIZE_MAX ? head_end + 1 : end) - have;
	if (recv(hop->fd, buf + have, take, 0) != static_cast<ssize_t>(take)) {
		report_eof(c, false);
		return;
	}
	if (head_end == SIZE_MAX) {
		memmove(buf, buf + lines_end, end - lines_end);
		c->head_have = end - lines_end;
		return;
	}

	c->head_last = buf[head_end];
	c->phase = Phase::Body;
	c->headers_ready = true;
	c->cb->header_done(&c->uc);
	c->headers_ready = false;
	if (!live(hop))
		return;
	http_parser_pause(&c->parser, 0);
	http_parser_execute(&c->parser, &kSettings, &c->head_last, 1);
	if (c->phase == Phase::Done) // no body: no readiness need come
		deliver(c, hop);
	else if (HTTP_PARSER_ERRNO(&c->parser) != HPE_OK)
		report_eof(c, false);
}

void deliver(Client *c, Hop *hop) {
	c->reading = true;
	c->read_called = false;
	c->cb->data_read(&c->uc);
	c->reading = false;
	if (!live(hop))
		return;
	if (c->phase == Phase::Done || c->phase == Phase::Broken)
		report_eof(c, c->phase == Phase::Done);
	else if (!c->read_called)
		watch(hop, 0); // a caller that reads nothing waits for the time-out
}

void on_socket(evutil_socket_t, short what, void *arg) {
	Hop *hop = static_cast<Hop *>(arg);
	if (!live(hop))
		return;
	Client *c = hop->client;
	if (what & EV_TIMEOUT) {
		report_error(c, UCLIENT_ERROR_TIMEDOUT);
		return;
	}
	switch (c->phase) {
	case Phase::Sending:
		send_request(c, hop);
		break;
	case Phase::Head:
		read_head(c, hop);
		break;
	case Phase::Body:
		deliver(c, hop);
		break;
	default:
		break;
	}
}

// A new hop for the client's current URL, connecting; the one before is
// closed. NULL when no socket can be had. A connection that fails at once
// (refused, or a host that does not resolve) is reported through the
// error callback once the request is made, as a refusal would be.
Hop *open_hop(Client *c) {
	if (loop_base == nullptr)
		return nullptr;
	MallocPtr<Hop> hop(static_cast<Hop *>(calloc(1, sizeof(Hop))));
	if (!hop)
		return nullptr;
	hop->client = c;
	hop->fd = -1;
	hop->ev = event_new(loop_base, -1, 0, on_socket, hop.get());
	if (hop->ev == nullptr)
		return nullptr;
	char port[8];
	snprintf(port, sizeof port, "%d", c->port);
	addrinfo hints{};
	hints.ai_socktype = SOCK_STREAM;
	hints.ai_flags = AI_NUMERICSERV;
	addrinfo *addr = nullptr;
	if (getaddrinfo(c->host, port, &hints, &addr) != 0) {
		hop->connect_error = EHOSTUNREACH;
	} else {
		hop->fd = socket(addr->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
		if (hop->fd >= 0 && connect(hop->fd, addr->ai_addr, addr->ai_addrlen) != 0 &&
		    errno != EINPROGRESS)
			hop->connect_error = errno;
		freeaddrinfo(addr);
		if (hop->fd < 0) {
			event_free(hop->ev);
			return nullptr;
		}
	}

	if (c->hops != nullptr)
		retire(c->hops);
	hop->next = c->hops;
	c->hops = hop.get();
	c->phase = Phase::Idle;
	free(c->request);
	c->request = nullptr;
	c->request_len = c->request_sent = 0;
	http_parser_init(&c->parser, HTTP_RESPONSE);
	c->parser.data = c;
	c->head_have = 0;
	c->status_line_seen = c->length_seen = false;
	c->answer_headers.len = 0;
	c->last = Client::kNone;
	c->out_of_memory = c->length_framed = c->surplus_checked = false;
	c->status = 0;
	c->eof = false;
	return hop.release();
}

// "GET target HTTP/1.1", Host, then the caller's headers in their order.
bool build_request(Client *c) {
	size_t len = strlen("GET  HTTP/1.1\r\nHost: \r\n\r\n") + strlen(c->target) +
	             strlen(c->authority) + 1;
	const Pairs *h = &c->request_headers;
	len += h->len + 2 * h->len; // ": " and CRLF for each pair, at most
	char *text = static_cast<char *>(malloc(len));
	if (text == nullptr)
		return false;
	int at = snprintf(text, len, "GET %s HTTP/1.1\r\nHost: %s\r\n", c->target, c->authority);
	for (size_t i = 0; i < h->len;) {
		const char *name = h->data + i;
		const char *value = name + strlen(name) + 1;
		at += snprintf(text + at, len - static_cast<size_t>(at), "%s: %s\r\n", name, value);
		i = static_cast<size_t>(value - h->data) + strlen(value) + 1;
	}
	at += snprintf(text + at, len - static_cast<size_t>(at), "\r\n");
	free(c->request);
	c->request = text;
	c->request_len = static_cast<size_t>(at);
	c->request_sent = 0;
	return true;
}

bool start_request(Client *c) {
	Hop *hop = c->hops;
	if (hop == nullptr || c->phase != Phase::Idle || !build_request(c))
		return false;
	c->phase = Phase::Sending;
	watch(hop, EV_WRITE | EV_PERSIST);
	if (hop->fd < 0 || hop->connect_error != 0)
		event_active(hop->ev, EV_WRITE, 0);
	return true;
}

} // namespace

int uloop_init(void) {
	uloop_cancelled = false;
	if (loop_base != nullptr)
		return 0;
	loop_base = event_base_new();
	return loop_base != nullptr ? 0 : -1;
}

void uloop_done(void) {
	if (loop_base != nullptr)
		event_base_free(loop_base);
	loop_base = nullptr;
	uloop_cancelled = false;
}

bool uloop_is_up(void) { return loop_base != nullptr; }

int uloop_run_timeout(int timeout_ms) {
	if (loop_base == nullptr)
		return -1;
	uloop_cancelled = false;
	event *limit = nullptr;
	if (timeout_ms >= 0) {
		limit = evtimer_new(
		    loop_base, [](evutil_socket_t, short, void *) { uloop_cancelled = true; }, nullptr);
		if (limit == nullptr)
			return -1;
		timeval tv = ms_to_timeval(timeout_ms);
		evtimer_add(limit, &tv);
	}
	// One pass at a time: wait for events, run their callbacks. A pass
	// that finds nothing left to wait for returns 1.
	while (!uloop_cancelled && event_base_loop(loop_base, EVLOOP_ONCE) == 0) {
	}
	if (limit != nullptr)
		event_free(limit);
	return 0;
}

uclient *uclient_new(const char *url, const uclient_cb *cb) {
	if (url == nullptr || cb == nullptr)
		return nullptr;
	Client *c = static_cast<Client *>(calloc(1, sizeof(Client)));
	if (c == nullptr)
		return nullptr;
	c->cb = cb;
	c->timeout_ms = 30000;
	c->head = static_cast<char *>(malloc(kHeadBlock));
	if (c->head == nullptr || !set_url(c, url)) {
		uclient_free(&c->uc);
		return nullptr;
	}
	return &c->uc;
}

void uclient_free(uclient *cl) {
	if (cl == nullptr)
		return;
	Client *c = client_of(cl);
	while (Hop *hop = c->hops) {
		c->hops = hop->next;
		retire(hop);
		event_free(hop->ev);
		free(hop);
	}
	free(c->request_headers.data);
	free(c->answer_headers.data);
	free(c->request);
	free(c->head);
	free(c->url);
	free(c->host);
	free(c->authority);
	free(c->target);
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
	if (c->hops != nullptr)
		return -1;
	return open_hop(c) != nullptr ? 0 : -1;
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
		size_t name_len = strlen(h->data + at) + 1;
		size_t entry = name_len + strlen(h->data + at + name_len) + 1;
		memmove(h->data + at, h->data + at + entry, h->len - at - entry);
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
	int fd = c->hops->fd;
	for (;;) {
		if (c->phase == Phase::Done) {
			// Bytes that had arrived behind a body of announced length
			// when it ended; what comes later cannot be seen.
			if (c->surplus_checked)
				return 0;
			c->surplus_checked = true;
			ssize_t n = recv(fd, buf, static_cast<size_t>(len), MSG_DONTWAIT);
			return n > 0 && c->length_framed ? static_cast<int>(n) : 0;
		}
		if (c->phase != Phase::Body)
			return 0;
		ssize_t n = recv(fd, buf, static_cast<size_t>(len), 0);
		if (n < 0) {
			if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
				c->phase = Phase::Broken;
			return 0;
		}
		c->out = buf;
		c->out_len = 0;
		size_t got = static_cast<size_t>(n);
		size_t used = http_parser_execute(&c->parser, &kSettings, got > 0 ? buf : nullptr, got);
		c->out = nullptr;
		if (c->phase != Phase::Done) {
			// A close ends only a close-delimited body (which is Done then).
			if (got == 0 || HTTP_PARSER_ERRNO(&c->parser) != HPE_OK) {
				c->phase = Phase::Broken;
				return 0;
			}
		} else if (got == 0) {
			c->surplus_checked = true; // closed: nothing follows
		} else if (used < got && c->length_framed) {
			memmove(buf + c->out_len, buf + used, got - used);
			c->out_len += got - used;
			c->surplus_checked = true;
		}
		if (c->out_len > 0)
			return static_cast<int>(c->out_len);
	}
}

void uclient_disconnect(uclient *cl) {
	Client *c = client_of(cl);
	c->disconnected = true;
	c->reading = false;
	if (c->hops != nullptr)
		event_del(c->hops->ev);
}

int uclient_http_redirect(uclient *cl) {
	Client *c = client_of(cl);
	if (!c->headers_ready)
		return 0;
	switch (c->status) {
	case 301:
	case 302:
	case 307:
		break;
	default:
		return 0;
	}
	const char *location = pairs_value(&c->answer_headers, "location");
	if (location == nullptr)
		return 0;
	TextPtr next(resolve_location(c->url, location));
	if (!next || !set_url(c, next.get()) || open_hop(c) == nullptr || !start_request(c))
		return -1;
	return 1;
}

int uclient_status(const uclient *cl) { return client_of(cl)->status; }

bool uclient_data_eof(const uclient *cl) { return client_of(cl)->eof; }

const char *uclient_get_header(const uclient *cl, const char *name) {
	const Client *c = client_of(cl);
	return c->headers_ready ? pairs_value(&c->answer_headers, name) : nullptr;
}

bool parse_content_length(const char *text, int32_t *value) {
	errno = 0;
	char *end = nullptr;
	unsigned long long v = strtoull(text, &end, 10);
	if (errno != 0 || *end != '\0' || v > 2147483647ULL)
		return false;
	*value = static_cast<int32_t>(v);
	return true;
}

} // namespace tarvik
