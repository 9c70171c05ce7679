// The HTTP exchange under the fetch client: one GET on one socket,
// connect, send, the answer's head, then its body as the caller reads it.
// Every wait is a poll(2) of that socket against the request's deadline,
// so no exchange outlives it.
//
// A failure stores a FetchError code (`verdict`) and a short text saying
// why (`reason`); the fetch client hands both on.
#ifndef TARVIK_HTTP_CLIENT_H
#define TARVIK_HTTP_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#include "clock.h"
#include "framing.h"
#include "holders.h"
#include "tarvik.h"
#include "url.h"

namespace tarvik {

// Bytes taken from the socket at a time while the head arrives; body bytes
// that come with the head wait here for the caller's read.
constexpr size_t kHeadBlock = 4096;

enum class Phase : uint8_t { Idle, Body, Done, Broken };

struct HttpClient {
	uclient uc = {}; // first: the callbacks receive &uc
	const Deadline *deadline = nullptr;
	Fd fd;
	HttpFramer framer = {};
	Phase phase = Phase::Idle;
	int verdict = 0;              // FetchError of a failed exchange
	const char *reason = nullptr; // why it failed (a static text)
	bool read_called = false;     // uclient_read ran since the caller last looked
	char head[kHeadBlock];
	size_t head_at = 0; // head[head_at, head_len): received, not yet framed
	size_t head_len = 0;

	HttpClient() = default;
	HttpClient(const HttpClient &) = delete;
	HttpClient &operator=(const HttpClient &) = delete;
	~HttpClient() { framer_release(&framer); }
};

inline HttpClient *client_of(uclient *cl) { return reinterpret_cast<HttpClient *>(cl); }

// Connects to `url`, sends the GET (Host and User-Agent, nothing else)
// and reads the answer's head, waiting against `deadline` (which must
// outlive the exchange). 0 when the head is whole: c->framer holds what
// it said, and the body can be read. Otherwise the verdict: 1 (no
// connection), 2 (the deadline passed) or 34 (the head is broken or cut
// short). A former exchange of `c` is closed first.
int client_begin(HttpClient *c, const UrlParts &url, const Deadline &deadline);

// Waits until body bytes can be read: at once when some came with the
// head. 0, or the verdict (2 when the deadline passed, 1 when the wait
// itself failed).
int client_wait(HttpClient *c);

// Reads body bytes into `buf`, up to `len`, without waiting: the count,
// 0 when none are waiting or the body is whole (phase Done), -1 when the
// answer turned out broken (phase Broken, with its verdict: 34, or 35 for
// bytes behind a body of announced length).
int uclient_read(uclient *cl, char *buf, int len);

// The Content-Length that frames the body, once the head is whole.
bool client_body_length(const HttpClient *c, uint64_t *length);

} // namespace tarvik

#endif
