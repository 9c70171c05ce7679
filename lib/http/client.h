// The HTTP client under the fetch client: a small uclient-style interface
// over the library's poll(2) loop (loop.h), the response framing
// (http_framing.h) and URL handling (url.h).
//
// A client reports through a callback table: headers done, data
// available, end of body (with uclient_data_eof telling whether the body
// arrived in full) and errors (UCLIENT_ERROR_*). Callbacks may call
// uclient_disconnect, which ends all reporting at once; a client's socket
// is only released by uclient_free, outside any callback.
#ifndef TARVIK_UCLIENT_H
#define TARVIK_UCLIENT_H

#include <stddef.h>
#include <stdint.h>

#include "loop.h"
#include "tarvik.h"

namespace tarvik {

// The client's error codes are stored as FetchError codes as they come.
constexpr int UCLIENT_ERROR_UNKNOWN = 0;
constexpr int UCLIENT_ERROR_CONNECT = 1;
constexpr int UCLIENT_ERROR_TIMEDOUT = 2;
static_assert(UCLIENT_ERROR_CONNECT == static_cast<int>(FETCH_ERR_CONNECT) &&
                  UCLIENT_ERROR_TIMEDOUT == static_cast<int>(FETCH_ERR_TIMEOUT),
              "client error codes are reported as the FetchError codes of the same value");

struct uclient_cb {
	void (*data_read)(uclient *cl);
	void (*data_eof)(uclient *cl);
	void (*header_done)(uclient *cl);
	void (*error)(uclient *cl, int code);
};

// A client for `url` ("http://host[:port]/path"); NULL when the URL is
// not one this client can fetch or memory runs out.
uclient *uclient_new(const char *url, const uclient_cb *cb);
void uclient_free(uclient *cl);
// The time-out of the whole request, counted from uclient_connect:
// redirects and a server that trickles bytes do not stretch it.
int uclient_set_timeout(uclient *cl, int msecs);
// Starts connecting (needs the loop up); a refused connection is reported
// later, through the error callback.
int uclient_connect(uclient *cl);
// Only "GET" is spoken.
int uclient_http_set_request_type(uclient *cl, const char *type);
int uclient_http_reset_headers(uclient *cl);
int uclient_http_set_header(uclient *cl, const char *name, const char *value);
// Sends the request (with Host and the headers set) once connected.
int uclient_request(uclient *cl);
// Reads body bytes into `buf`, up to `len`; 0 when none are waiting.
// After a body framed by Content-Length, bytes that had already arrived
// behind it are handed over too, so that the caller's length check
// refuses them. Only meaningful while the data_read callback runs.
int uclient_read(uclient *cl, char *buf, int len);
// A block of *size bytes that the client keeps for the caller's large
// reads until uclient_free; NULL when memory runs out. Reused for every
// read, its pages stay mapped: bytes the kernel writes into fresh pages
// and the caller then reads cost a page fault at each step, bytes copied
// out of this block only one.
char *uclient_scratch(uclient *cl, size_t *size);
// How many received bytes wait for uclient_read (framing included, so
// the body in them may be shorter); 0 when none or unknown.
int uclient_waiting(const uclient *cl);
void uclient_disconnect(uclient *cl);
// Follows a 301, 302 or 307 answer's Location: 1 when a new request is
// under way, 0 when the answer is no redirect to follow, -1 when following
// it failed.
int uclient_http_redirect(uclient *cl);

// The status code of the current answer (0 before its headers).
int uclient_status(const uclient *cl);
// Whether the body arrived in full (by its length, last chunk or close).
bool uclient_data_eof(const uclient *cl);
// The answer's Content-Length, when it frames the body (saturated at
// UINT64_MAX). Valid while the header_done callback runs.
bool uclient_content_length(const uclient *cl, uint64_t *length);

} // namespace tarvik

#endif
