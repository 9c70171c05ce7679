// The HTTP client and event loop under the fetch client: a small
// uclient/uloop-style interface over libevent's event_base (the loop and
// its timers) and Debian's http-parser (the framing of each answer).
//
// One process-wide loop (uloop_init .. uloop_done) drives at most one
// client at a time. A client reports through a callback table: headers
// done, data available, end of body (with uclient_data_eof telling whether
// the body arrived in full) and errors (UCLIENT_ERROR_*). Callbacks may
// call uclient_disconnect, which ends all reporting at once; a client's
// sockets and events are only released by uclient_free, outside any
// callback.
#ifndef TARVIK_UCLIENT_H
#define TARVIK_UCLIENT_H

#include <stdint.h>

#include "tarvik.h"

namespace tarvik {

enum {
	UCLIENT_ERROR_UNKNOWN = 0,
	UCLIENT_ERROR_CONNECT = 1,
	UCLIENT_ERROR_TIMEDOUT = 2,
};

struct uclient_cb {
	void (*data_read)(uclient *cl);
	void (*data_eof)(uclient *cl);
	void (*header_done)(uclient *cl);
	void (*error)(uclient *cl, int code);
};

// Set by a callback to make the running loop return once the callback is
// done. Cleared by uloop_init, uloop_done and at the start of each run.
extern bool uloop_cancelled;

int uloop_init(void);
void uloop_done(void);
// Whether uloop_init has brought the loop up (and uloop_done not yet
// taken it down).
bool uloop_is_up(void);
// Runs the loop until uloop_cancelled is set or nothing is left to wait
// for; `timeout_ms` < 0 means no time limit.
int uloop_run_timeout(int timeout_ms);

// A client for `url` ("http://host[:port]/path"); NULL when the URL is
// not one this client can fetch or memory runs out.
uclient *uclient_new(const char *url, const uclient_cb *cb);
void uclient_free(uclient *cl);
// The idle time-out: the longest wait for the connection, for sending,
// and between two reads.
int uclient_set_timeout(uclient *cl, int msecs);
// Starts connecting (needs the loop); a refused connection is reported
// later, through the error callback.
int uclient_connect(uclient *cl);
// Only "GET" is spoken.
int uclient_http_set_request_type(uclient *cl, const char *type);
int uclient_http_reset_headers(uclient *cl);
int uclient_http_set_header(uclient *cl, const char *name, const char *value);
// Sends the request (with Host and the headers set) once connected.
int uclient_request(uclient *cl);
// Reads straight from the socket into `buf`: the body bytes among the
// bytes received, up to `len`; 0 when none are waiting. After a body
// framed by Content-Length, bytes that had already arrived behind it are
// handed over too, so that the caller's length check refuses them. Only
// meaningful while the data_read callback runs.
int uclient_read(uclient *cl, char *buf, int len);
void uclient_disconnect(uclient *cl);
// Follows a 301, 302 or 307 answer's Location: 1 when a new request is
// under way, 0 when the answer is no redirect to follow, -1 when following
// it failed.
int uclient_http_redirect(uclient *cl);

// The status code of the current answer (0 before its headers).
int uclient_status(const uclient *cl);
// Whether the body arrived in full (by its length, last chunk or close).
bool uclient_data_eof(const uclient *cl);
// A header of the current answer, by case-insensitive name; NULL when
// absent. Valid while the header_done callback runs.
const char *uclient_get_header(const uclient *cl, const char *name);

// The value of a Content-Length header text: decimal, leading blanks and
// a sign accepted as strtoull accepts them, the whole text consumed, below
// 2^31. An empty text is 0. False when the header is to be ignored.
bool parse_content_length(const char *text, int32_t *value);

} // namespace tarvik

#endif
