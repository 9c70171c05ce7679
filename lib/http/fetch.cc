// The HTTP fetch client: one blocking GET against one deadline, redirects
// followed in a plain loop, the body collected in a BodyBuffer, and
// completion steps that hand the body on as a JSON object or as text.
#include <json-c/json.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "client.h"
#include "fetch.h"
#include "holders.h"
#include "json_helpers.h"

namespace tarvik {

namespace {

constexpr int kMaxRedirects = 10;
// Bodies without an announced length are read in blocks of this size.
constexpr int kBlockSize = 1048576;

// Why the last request failed, for uclient_get_errmsg: its code and a
// static text.
int last_code;
const char *last_reason;

const char *fetch_error_text(int code) {
	switch (code) {
	case FETCH_ERR_CONNECT:
		return "Connection failed";
	case FETCH_ERR_TIMEOUT:
		return "Connection timed out";
	case FETCH_ERR_REDIRECT:
		return "Failed to redirect";
	case FETCH_ERR_TOO_MANY_REDIRECTS:
		return "Too many redirects";
	case FETCH_ERR_PREMATURE_EOF:
		return "Connection reset prematurely";
	case FETCH_ERR_SIZE:
		return "Incorrect file size";
	case FETCH_ERR_NOT_JSON:
		return "Response not json";
	default:
		return "Unknown error";
	}
}


FetchRequest *request_of(uclient *cl) { return static_cast<FetchRequest *>(cl->priv); }

QueryResult *query_of(uclient *cl) {
	return static_cast<QueryResult *>(request_of(cl)->result);
}

// The header step: 0 to read the body, 1 when the answer is a redirect
// to follow (`url` then names it), or the code that ends the request.
int header_step(HttpClient *c, FetchRequest *req, TextPtr *url, UrlParts *parts) {
	int status = c->framer.status;
	if (status == 301 || status == 302 || status == 307) {
		const char *location = c->framer.location;
		if (req->redirects >= kMaxRedirects || location == nullptr)
			return FETCH_ERR_TOO_MANY_REDIRECTS;
		// It becomes the next request line: no control character or blank
		// may end it early or add to it.
		for (const char *p = location; *p != '\0'; p++) {
			if (static_cast<unsigned char>(*p) <= ' ' || *p == 0x7f) {
				c->reason = "the Location holds control characters or blanks";
				return FETCH_ERR_REDIRECT;
			}
		}
		TextPtr next(url_resolve(url->get(), location));
		if (!next || !url_split(next.get(), parts)) {
			c->reason = "the Location cannot be followed";
			return FETCH_ERR_REDIRECT;
		}
		*url = std::move(next);
		req->redirects++;
		return 1;
	}
	if (status != 200)
		return FETCH_ERR_HTTP | status;
	// The framing has decided the one Content-Length; a body longer than
	// any that may be collected is refused before a byte of it is read.
	uint64_t length = 0;
	if (!client_body_length(c, &length))
		return 0;
	if (length > TARVIK_MAX_BODY_BYTES) {
		c->reason = "Content-Length over 16 MiB";
		return FETCH_ERR_SIZE;
	}
	if (req->expected >= 0 && static_cast<uint64_t>(req->expected) != length) {
		c->reason = "Content-Length differs from the expected length";
		return FETCH_ERR_SIZE;
	}
	req->expected = static_cast<int32_t>(length);
	return 0;
}

// Reads the body: the data callback runs whenever bytes are waiting,
// until the answer is whole, broken, or stopped.
void read_body(HttpClient *c, fetch_callback data_read) {
	FetchRequest *req = request_of(&c->uc);
	while (req->error == 0) {
		if (c->phase == Phase::Done) {
			fetch_data_eof(&c->uc);
			return;
		}
		int rc = c->phase == Phase::Broken ? c->verdict : client_wait(c);
		if (rc != 0) {
			fetch_stop(&c->uc, rc);
			return;
		}
		c->read_called = false;
		data_read(&c->uc);
		if (!c->read_called && req->error == 0) {
			// Bytes wait that the caller will never take.
			c->reason = "the data callback reads nothing";
			fetch_stop(&c->uc, FETCH_ERR_TIMEOUT);
		}
	}
}

} // namespace

void fetch_data_eof(uclient *cl) {
	fetch_stop(cl, FETCH_OK);
	request_of(cl)->complete(cl);
}

void fetch_stop(uclient *cl, int code) {
	request_of(cl)->error = code;
	client_of(cl)->phase = code == FETCH_OK ? Phase::Done : Phase::Broken;
}

void fetch_data_read(uclient *cl) { get_all_data_process(cl, query_of(cl)->body); }

namespace {

// Joins the QueryResult's body; on failure notes 35 in the QueryResult.
bool join_body(QueryResult *res, char **text, int *length) {
	if (get_all_data_finalize(res->body, text, length) == 0)
		return true;
	res->error = FETCH_ERR_SIZE;
	return false;
}

} // namespace

void finish_json(uclient *cl) {
	QueryResult *res = query_of(cl);
	char *joined = nullptr;
	int length = 0;
	if (!join_body(res, &joined, &length))
		return;
	TextPtr text(joined);
	if (text.get()[0] != '{') {
		res->error = FETCH_ERR_NOT_JSON;
		return;
	}
	// Bounded in bytes, a body can still hold more values than memory: it
	// is parsed only when what that may cost stays within the budget.
	if (!json_parse_affordable(text.get(), static_cast<size_t>(length) - 1,
	                           TARVIK_MAX_PARSE_BYTES)) {
		res->error = FETCH_ERR_SIZE;
		return;
	}
	res->value = json_tokener_parse(text.get());
}

void finish_raw(uclient *cl) {
	QueryResult *res = query_of(cl);
	char *joined = nullptr;
	int length = 0;
	if (!join_body(res, &joined, &length))
		return;
	res->value = joined;
	res->length = length;
}

void body_buffer_free(BodyBuffer *body) {
	if (body == nullptr)
		return;
	BodyChunk *chunk = body->head;
	while (chunk != nullptr) {
		BodyChunk *next = chunk->next;
		free(chunk->data);
		free(chunk);
		chunk = next;
	}
	free(body);
}

int get_url_timeout(const char *url, fetch_callback data_read, fetch_callback complete,
                    void *result, int expected, int timeout_ms) {
	FetchRequest req = {};
	req.result = result;
	req.expected = expected;
	req.complete = complete;
	HttpClient c;
	c.uc.priv = &req;
	Deadline deadline(timeout_ms);

	TextPtr current(curl_easy_escape(url, 0));
	UrlParts parts;
	int rc;
	if (!current || !url_split(current.get(), &parts)) {
		c.reason = "not an http URL";
		rc = FETCH_ERR_CONNECT;
	} else {
		do
			rc = client_begin(&c, parts, deadline);
		while (rc == 0 && (rc = header_step(&c, &req, &current, &parts)) == 1);
	}
	if (rc != 0)
		fetch_stop(&c.uc, rc);
	else
		read_body(&c, data_read);

	last_code = req.error;
	last_reason = c.reason;
	if (req.error != 0)
		return req.error;
	if (req.expected < 0 || req.expected == req.received)
		return FETCH_OK;
	last_code = FETCH_ERR_SIZE;
	last_reason = "the body is shorter than expected";
	return FETCH_ERR_SIZE;
}

} // namespace tarvik

using namespace tarvik;

extern "C" {

int get_url(const char *url, fetch_callback data_read, fetch_callback complete, void *result,
            int expected) {
	return get_url_timeout(url, data_read, complete, result, expected, kFetchTimeoutMs);
}

int uclient_read_account(uclient *cl, char *buffer, int capacity) {
	int n = uclient_read(cl, buffer, capacity);
	if (n < 0)
		return n;
	FetchRequest *req = request_of(cl);
	// No body may outgrow the bound, whatever its framing says.
	if (n > TARVIK_MAX_BODY_BYTES - req->received) {
		client_of(cl)->reason = "body past 16 MiB";
		fetch_stop(cl, FETCH_ERR_SIZE);
		return -1;
	}
	req->received += n;
	if (req->expected >= 0 && req->received > req->expected) {
		client_of(cl)->reason = "body longer than expected";
		fetch_stop(cl, FETCH_ERR_SIZE);
		return -1;
	}
	return n;
}

BodyBuffer *get_all_data_init(void) {
	MallocPtr<BodyBuffer> body(static_cast<BodyBuffer *>(calloc(1, sizeof(BodyBuffer))));
	MallocPtr<BodyChunk> chunk(static_cast<BodyChunk *>(calloc(1, sizeof(BodyChunk))));
	if (!body || !chunk)
		return nullptr;
	body->head = chunk.get();
	body->tail = chunk.release();
	return body.release();
}

namespace {

// The body cannot be kept: the request ends at once.
void give_up(uclient *cl, BodyBuffer *body) {
	body->failed = 1;
	client_of(cl)->reason = "no memory for the body";
	fetch_stop(cl, FETCH_ERR_SIZE);
}

// Fills `chunk` with `data` of `n` bytes and links a new empty tail behind
// it; false, with `data` released, when memory runs out or the total
// would not leave room for joining's NUL.
bool append_chunk(BodyBuffer *body, BodyChunk *chunk, char *data, int n) {
	BodyChunk *fresh = static_cast<BodyChunk *>(calloc(1, sizeof(BodyChunk)));
	if (data == nullptr || fresh == nullptr || n > INT32_MAX - 1 - body->total) {
		free(fresh);
		free(data);
		return false;
	}
	chunk->data = data;
	chunk->length = n;
	chunk->next = fresh;
	body->tail = fresh;
	body->total += n;
	return true;
}

// A body of announced length is read straight into one chunk that holds
// the whole of it and the NUL that joining adds, so joining has nothing to
// copy.
void read_announced(uclient *cl, BodyBuffer *body, uint64_t announced) {
	BodyChunk *chunk = body->head;
	if (chunk == body->tail &&
	    !append_chunk(body, chunk, static_cast<char *>(malloc(announced + 1)), 0)) {
		give_up(cl, body);
		return;
	}
	int n;
	while ((n = uclient_read_account(cl, chunk->data + chunk->length,
	                                 static_cast<int>(announced) - chunk->length)) > 0) {
		chunk->length += n;
		body->total += n;
	}
	if (n < 0)
		body->failed = 1;
}

} // namespace

int get_all_data_process(uclient *cl, BodyBuffer *body) {
	uint64_t announced = 0;
	if (client_body_length(client_of(cl), &announced) && announced > 0 &&
	    announced <= TARVIK_MAX_BODY_BYTES &&
	    (body->head == body->tail || body->head->next == body->tail)) {
		read_announced(cl, body, announced);
		return 0;
	}
	TextPtr block(static_cast<char *>(malloc(kBlockSize)));
	if (!block) {
		give_up(cl, body);
		return 0;
	}
	int n;
	while ((n = uclient_read_account(cl, block.get(), kBlockSize)) > 0) {
		char *data = static_cast<char *>(malloc(static_cast<size_t>(n)));
		if (data != nullptr)
			memcpy(data, block.get(), static_cast<size_t>(n));
		if (!append_chunk(body, body->tail, data, n)) {
			give_up(cl, body);
			return 0;
		}
	}
	if (n < 0)
		body->failed = 1;
	return 0;
}

int get_all_data_finalize(BodyBuffer *body, char **text, int *length) {
	if (body->failed)
		return body->failed;
	if (body->head == nullptr)
		return 1; // joined before: the chunks are gone
	size_t size = static_cast<size_t>(body->total) + 1;
	BodyChunk *only = body->head;
	char *out;
	if (only->next != nullptr && only->next->next == nullptr && only->length > 0) {
		// One chunk (a body of announced length, or one read): it becomes
		// the text, grown by the NUL's byte where it has no room for it.
		out = static_cast<char *>(realloc(only->data, size));
		if (out == nullptr)
			return 1;
		free(only->next);
		free(only);
	} else {
		out = static_cast<char *>(malloc(size));
		if (out == nullptr)
			return 1;
		// Each chunk is released once copied, so the two copies of the
		// body are never whole at once.
		size_t at = 0;
		for (body->tail = body->head; body->tail != nullptr;) {
			BodyChunk *chunk = body->tail;
			if (chunk->length > 0) // the empty tail has no data
				memcpy(out + at, chunk->data, static_cast<size_t>(chunk->length));
			at += static_cast<size_t>(chunk->length);
			body->tail = chunk->next;
			free(chunk->data);
			free(chunk);
		}
	}
	out[body->total] = '\0';
	body->total += 1;
	// No dangling chunk pointers are left behind.
	body->head = nullptr;
	body->tail = nullptr;
	*text = out;
	*length = body->total;
	return 0;
}

const char *uclient_get_errmsg(int code) {
	static char http_error[16];
	static char with_reason[96];
	if (code & FETCH_ERR_HTTP) {
		// The text is cut at 15 characters, as callers of this buffer expect.
#pragma GCC diagnostic push
#if !defined(__clang__) // clang has no such warning, and warns of the name
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
		snprintf(http_error, sizeof http_error, "HTTP error %d", code & ~FETCH_ERR_HTTP);
#pragma GCC diagnostic pop
		return http_error;
	}
	const char *text = fetch_error_text(code);
	// The last request's failure names its reason.
	if (code != 0 && code == last_code && last_reason != nullptr) {
		snprintf(with_reason, sizeof with_reason, "%s: %s", text, last_reason);
		return with_reason;
	}
	return text;
}

int Curl_isunreserved(unsigned char c) {
	return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
	       c == '-' || c == '.' || c == '_' || c == '~';
}

char *curl_easy_escape(const char *text, int length) {
	if (length < 0)
		return nullptr;
	size_t len = length > 0 ? static_cast<size_t>(length) : strlen(text);
	if (len == 0)
		return static_cast<char *>(calloc(1, 1));
	// 3 * len + 1 must stay within int, the size type of the interface.
	if (len > static_cast<size_t>((INT_MAX - 1) / 3))
		return nullptr;
	char *out = static_cast<char *>(malloc(3 * len + 1));
	if (out == nullptr)
		return nullptr;
	static const char hex[] = "0123456789ABCDEF";
	int slashes = 0;
	size_t at = 0;
	for (size_t i = 0; i < len; i++) {
		unsigned char c = static_cast<unsigned char>(text[i]);
		if (slashes < 3) {
			if (c == '/')
				slashes++;
			out[at++] = static_cast<char>(c);
		} else if (Curl_isunreserved(c)) {
			out[at++] = static_cast<char>(c);
		} else {
			out[at++] = '%';
			out[at++] = hex[c >> 4];
			out[at++] = hex[c & 0x0F];
		}
	}
	out[at] = '\0';
	return out;
}

} // extern "C"
