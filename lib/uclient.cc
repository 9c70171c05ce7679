// HTTP client and event loop over libevent (event_base + evhttp).
//
// Every HTTP exchange of a client (the first request and each redirect)
// is a Hop: its own evhttp connection and request. libevent calls back
// with the Hop; only the client's current Hop, and only until the client
// is disconnected, reaches the caller's callbacks. Hops are released
// together in uclient_free, never inside a libevent callback, because
// libevent may still use a request or connection after our callback
// returns.
#include "uclient.h"

#include <errno.h>
#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include "holders.h"

namespace tarvik {

bool uloop_cancelled;

namespace {

event_base *loop_base;

struct Client;

struct Hop {
	Client *client;
	evhttp_connection *conn;
	Hop *next; // older hops
};

struct Client {
	uclient uc; // first: the callbacks receive &uc
	const uclient_cb *cb;
	char *url;       // the URL of the current hop, as requested
	char *host;      // host of `url`, without brackets
	char *authority; // host[:port] of `url`, for the Host header
	char *target;    // the request target of `url`, sent verbatim
	int port;
	int timeout_ms;
	char *method;
	evkeyvalq headers; // the caller's request headers, in order
	Hop *hops;         // newest first; hops->conn is the current connection
	evhttp_request *answer; // current answer while headers are examined
	evhttp_request *reading; // current request while data_read runs
	int status;
	bool eof;
	bool disconnected;
};

Client *client_of(uclient *cl) { return reinterpret_cast<Client *>(cl); }
const Client *client_of(const uclient *cl) { return reinterpret_cast<const Client *>(cl); }

// Whether libevent's report about `hop` still concerns the caller.
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

// libevent refuses some Content-Length texts that the fetch client only
// ignores ("", "abc", "-1") and would wait for more than 2^31 bytes for
// others. Give it the value the fetch client reads, or, where the fetch
// client ignores the header, no length at all: the body then runs until
// the server closes the connection.
void normalise_content_length(evkeyvalq *headers) {
	const char *text = evhttp_find_header(headers, "Content-Length");
	if (text == nullptr)
		return;
	int32_t value = 0;
	bool usable = parse_content_length(text, &value);
	while (evhttp_remove_header(headers, "Content-Length") == 0) {
	}
	if (usable) {
		char canonical[16];
		snprintf(canonical, sizeof canonical, "%d", static_cast<int>(value));
		evhttp_add_header(headers, "Content-Length", canonical);
	} else {
		while (evhttp_remove_header(headers, "Connection") == 0) {
		}
	}
}

int on_header(evhttp_request *req, void *arg) {
	Hop *hop = static_cast<Hop *>(arg);
	if (!live(hop))
		return -1;
	Client *c = hop->client;
	c->status = evhttp_request_get_response_code(req);
	normalise_content_length(evhttp_request_get_input_headers(req));
	c->answer = req;
	c->cb->header_done(&c->uc);
	c->answer = nullptr;
	// A redirect started a new hop, or the caller disconnected: returning
	// -1 makes libevent drop this answer (reported back as a failure of a
	// hop that is no longer live, so ignored).
	return live(hop) ? 0 : -1;
}

void on_chunk(evhttp_request *req, void *arg) {
	Hop *hop = static_cast<Hop *>(arg);
	if (!live(hop))
		return;
	Client *c = hop->client;
	c->reading = req;
	c->cb->data_read(&c->uc);
	c->reading = nullptr;
}

void report_error(Client *c, int code) {
	if (c->cb->error != nullptr)
		c->cb->error(&c->uc, code);
	else
		uclient_disconnect(&c->uc);
}

void report_eof(Client *c, bool complete) {
	c->eof = complete;
	if (c->cb->data_eof != nullptr)
		c->cb->data_eof(&c->uc);
	// The client ends with its body either way.
	uclient_disconnect(&c->uc);
}

// The end of a request. A NULL request follows a failure that on_error
// has reported already. A request without a status never reached the
// server (refused, unreachable).
void on_done(evhttp_request *req, void *arg) {
	Hop *hop = static_cast<Hop *>(arg);
	if (!live(hop) || req == nullptr)
		return;
	Client *c = hop->client;
	if (evhttp_request_get_response_code(req) == 0)
		report_error(c, UCLIENT_ERROR_CONNECT);
	else
		report_eof(c, true);
}

void on_error(evhttp_request_error error, void *arg) {
	Hop *hop = static_cast<Hop *>(arg);
	if (!live(hop))
		return;
	Client *c = hop->client;
	switch (error) {
	case EVREQ_HTTP_TIMEOUT:
		report_error(c, UCLIENT_ERROR_TIMEDOUT);
		break;
	case EVREQ_HTTP_REQUEST_CANCEL:
		break;
	default:
		// The connection closed or broke before the answer was whole, or
		// the answer was not HTTP.
		report_eof(c, false);
		break;
	}
}

// Starts one exchange for the client's current URL on a new connection.
bool start_hop(Client *c) {
	if (loop_base == nullptr)
		return false;
	MallocPtr<Hop> hop(static_cast<Hop *>(calloc(1, sizeof(Hop))));
	if (!hop)
		return false;
	hop->client = c;
	hop->conn = evhttp_connection_base_new(loop_base, nullptr, c->host,
	                                       static_cast<ev_uint16_t>(c->port));
	if (hop->conn == nullptr)
		return false;
	// libevent's defaults (retries, 50 s) must never apply: one attempt,
	// and our idle time-out on connect, send and every read.
	evhttp_connection_set_retries(hop->conn, 0);
	timeval tv = {c->timeout_ms / 1000, (c->timeout_ms % 1000) * 1000};
	evhttp_connection_set_timeout_tv(hop->conn, &tv);

	evhttp_request *req = evhttp_request_new(on_done, hop.get());
	if (req == nullptr) {
		evhttp_connection_free(hop->conn);
		return false;
	}
	evhttp_request_set_header_cb(req, on_header);
	evhttp_request_set_chunked_cb(req, on_chunk);
	evhttp_request_set_error_cb(req, on_error);
	// libevent adds no header of its own. Host is the client's (HTTP/1.1
	// requires it), then the caller's headers in their order.
	evkeyvalq *out = evhttp_request_get_output_headers(req);
	bool ok = evhttp_add_header(out, "Host", c->authority) == 0;
	for (evkeyval *h = c->headers.tqh_first; ok && h != nullptr; h = h->next.tqe_next)
		ok = evhttp_add_header(out, h->key, h->value) == 0;
	if (!ok) {
		evhttp_request_free(req);
		evhttp_connection_free(hop->conn);
		return false;
	}

	// Link the hop first: libevent may report a failed connect from
	// inside evhttp_make_request.
	hop->next = c->hops;
	c->hops = hop.get();
	Hop *started = hop.release();
	c->status = 0;
	c->eof = false;
	if (evhttp_make_request(started->conn, req, EVHTTP_REQ_GET, c->target) != 0) {
		// The request is gone with the failure; the hop stays linked so
		// that uclient_free releases its connection, but it is no longer
		// the current one.
		c->disconnected = true;
		return false;
	}
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

int uloop_run_timeout(int timeout_ms) {
	if (loop_base == nullptr)
		return -1;
	// A peer that closes early must not kill the process with SIGPIPE
	// while libevent writes: hold the signal back for the run, and take
	// away one that the run itself raised.
	sigset_t pipe_set, old_mask, pending;
	sigemptyset(&pipe_set);
	sigaddset(&pipe_set, SIGPIPE);
	sigpending(&pending);
	bool was_pending = sigismember(&pending, SIGPIPE);
	sigprocmask(SIG_BLOCK, &pipe_set, &old_mask);

	timespec deadline{};
	if (timeout_ms >= 0) {
		clock_gettime(CLOCK_MONOTONIC, &deadline);
		deadline.tv_sec += timeout_ms / 1000;
		deadline.tv_nsec += (timeout_ms % 1000) * 1000000L;
		if (deadline.tv_nsec >= 1000000000L) {
			deadline.tv_sec++;
			deadline.tv_nsec -= 1000000000L;
		}
	}
	while (!uloop_cancelled) {
		if (timeout_ms >= 0) {
			timespec now;
			clock_gettime(CLOCK_MONOTONIC, &now);
			long long left_ms = (deadline.tv_sec - now.tv_sec) * 1000LL +
			                    (deadline.tv_nsec - now.tv_nsec) / 1000000L;
			if (left_ms <= 0)
				break;
			timeval tv = {static_cast<time_t>(left_ms / 1000),
			              static_cast<suseconds_t>((left_ms % 1000) * 1000)};
			event_base_loopexit(loop_base, &tv);
		}
		// One pass: wait for events, run their callbacks, return. 1 means
		// nothing is left to wait for.
		if (event_base_loop(loop_base, EVLOOP_ONCE) != 0)
			break;
	}

	sigpending(&pending);
	if (!was_pending && sigismember(&pending, SIGPIPE)) {
		timespec zero = {0, 0};
		sigtimedwait(&pipe_set, nullptr, &zero);
	}
	sigprocmask(SIG_SETMASK, &old_mask, nullptr);
	return 0;
}

uclient *uclient_new(const char *url, const char *auth, const uclient_cb *cb) {
	if (url == nullptr || auth != nullptr || cb == nullptr)
		return nullptr;
	Client *c = static_cast<Client *>(calloc(1, sizeof(Client)));
	if (c == nullptr)
		return nullptr;
	c->headers.tqh_first = nullptr;
	c->headers.tqh_last = &c->headers.tqh_first;
	c->cb = cb;
	c->timeout_ms = 30000;
	if (!set_url(c, url)) {
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
		// Frees the requests still queued on it, without callbacks.
		evhttp_connection_free(hop->conn);
		free(hop);
	}
	evhttp_clear_headers(&c->headers);
	free(c->url);
	free(c->host);
	free(c->authority);
	free(c->target);
	free(c->method);
	free(c);
}

int uclient_set_timeout(uclient *cl, int msecs) {
	if (msecs <= 0)
		return -1;
	client_of(cl)->timeout_ms = msecs;
	return 0;
}

// libevent connects when the request is made; here only the loop is
// checked, so that a missing loop fails at the same step as with a real
// connect.
int uclient_connect(uclient *cl) {
	(void)cl;
	return loop_base != nullptr ? 0 : -1;
}

int uclient_http_set_request_type(uclient *cl, const char *type) {
	// Only GET is spoken here.
	if (strcmp(type, "GET") != 0)
		return -1;
	Client *c = client_of(cl);
	char *copy = strdup(type);
	if (copy == nullptr)
		return -1;
	free(c->method);
	c->method = copy;
	return 0;
}

int uclient_http_reset_headers(uclient *cl) {
	evhttp_clear_headers(&client_of(cl)->headers);
	return 0;
}

int uclient_http_set_header(uclient *cl, const char *name, const char *value) {
	Client *c = client_of(cl);
	while (evhttp_remove_header(&c->headers, name) == 0) {
	}
	return evhttp_add_header(&c->headers, name, value) == 0 ? 0 : -1;
}

int uclient_request(uclient *cl) {
	Client *c = client_of(cl);
	if (c->method == nullptr || c->hops != nullptr)
		return -1;
	return start_hop(c) ? 0 : -1;
}

int uclient_read(uclient *cl, char *buf, int len) {
	Client *c = client_of(cl);
	if (c->reading == nullptr || len <= 0)
		return 0;
	return evbuffer_remove(evhttp_request_get_input_buffer(c->reading), buf,
	                       static_cast<size_t>(len));
}

void uclient_disconnect(uclient *cl) {
	Client *c = client_of(cl);
	c->disconnected = true;
	c->reading = nullptr;
}

int uclient_http_redirect(uclient *cl) {
	Client *c = client_of(cl);
	if (c->answer == nullptr)
		return 0;
	switch (c->status) {
	case 301:
	case 302:
	case 307:
		break;
	default:
		return 0;
	}
	const char *location =
	    evhttp_find_header(evhttp_request_get_input_headers(c->answer), "Location");
	if (location == nullptr)
		return 0;
	TextPtr next(resolve_location(c->url, location));
	if (!next || !set_url(c, next.get()))
		return -1;
	return start_hop(c) ? 1 : -1;
}

int uclient_status(const uclient *cl) { return client_of(cl)->status; }

bool uclient_data_eof(const uclient *cl) { return client_of(cl)->eof; }

const char *uclient_get_header(const uclient *cl, const char *name) {
	const Client *c = client_of(cl);
	if (c->answer == nullptr)
		return nullptr;
	return evhttp_find_header(evhttp_request_get_input_headers(c->answer), name);
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
