// The HTTP fetch client: one blocking GET inside one run of the event
// loop, the body collected in a BodyBuffer, and completion steps that
// hand the body on as a JSON object or as text.
#include <json-c/json.h>
#include <limits.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include "holders.h"
#include "fetch.h"
#include "client.h"

namespace tarvik {

namespace {

constexpr int kMaxRedirects = 10;
constexpr int kBlockSize = 1048576;
// A read when no bytes are said to be waiting.
constexpr size_t kProbeBlock = 512;
// Blocks from this size on are read into the client's scratch block and
// copied into memory faulted in ahead.
constexpr size_t kPopulateFrom = 65536;
// From this size on, the joined text asks for huge pages (2 MiB each).
constexpr int kHugeText = 4 * 1048576;

// A large body costs most in page faults: one trap into the kernel for
// each 4 KiB page it fills, twice over (chunks, then the joined text).
// Memory about to be filled is faulted in by one call instead, and the
// joined text of a large body asks for huge pages. Both are hints: a
// kernel that lacks them leaves the faults as they were.
uintptr_t page_size; // read once, on first use

void advise(char *p, size_t n, int advice) {
	if (page_size == 0)
		page_size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
	uintptr_t page = page_size;
	uintptr_t start = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
	uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(page - 1);
	if (end > start)
		madvise(reinterpret_cast<void *>(start), end - start, advice);
}

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23 // Linux 5.14; older kernels refuse it
#endif

// Copies the bytes of a chunk as it is filled (`into_chunk`) or joined.
// The kernel copies them when it can: it reaches the chunk's pages by its
// own mapping, so they are never touched through this process's page
// tables. On a virtual machine that shadows those tables in the host,
// the first touch of each fresh 4 KiB page costs a trap; a chunk filled
// and joined by memcpy paid it twice over. memcpy where the call is
// missing or refused (a kernel without cross-memory attach, a seccomp
// filter).
void copy_chunk(char *to, const char *from, size_t n, bool into_chunk) {
	iovec here = {const_cast<char *>(into_chunk ? from : to), n};
	iovec chunk = {const_cast<char *>(into_chunk ? to : from), n};
	ssize_t done = into_chunk ? process_vm_writev(getpid(), &here, 1, &chunk, 1, 0)
	                          : process_vm_readv(getpid(), &here, 1, &chunk, 1, 0);
	if (done != static_cast<ssize_t>(n))
		memcpy(to, from, n);
}

FetchRequest *request_of(uclient *cl) { return static_cast<FetchRequest *>(cl->priv); }

QueryResult *query_of(uclient *cl) {
	return static_cast<QueryResult *>(request_of(cl)->result);
}

} // namespace

void fetch_header_done(uclient *cl) {
	FetchRequest *req = request_of(cl);
	if (req->redirects < kMaxRedirects) {
		int followed = uclient_http_redirect(cl);
		if (followed < 0) {
			fetch_stop(cl, FETCH_ERR_REDIRECT);
			return;
		}
		if (followed > 0) {
			req->redirects++;
			return;
		}
	}

	int status = uclient_status(cl);
	switch (status) {
	case 200:
		break;
	case 301:
	case 302:
	case 307:
		fetch_stop(cl, FETCH_ERR_TOO_MANY_REDIRECTS);
		return;
	default:
		fetch_stop(cl, FETCH_ERR_HTTP | status);
		return;
	}

	// The framing has decided the one Content-Length; a body longer than
	// any that may be collected is refused before a byte of it is read.
	uint64_t length = 0;
	if (!uclient_content_length(cl, &length))
		return;
	if (length > TARVIK_MAX_BODY_BYTES ||
	    (req->expected >= 0 && static_cast<uint64_t>(req->expected) != length)) {
		fetch_stop(cl, FETCH_ERR_SIZE);
		return;
	}
	req->expected = static_cast<int32_t>(length);
}

void fetch_data_eof(uclient *cl) {
	if (!uclient_data_eof(cl)) {
		fetch_stop(cl, FETCH_ERR_PREMATURE_EOF);
		return;
	}
	fetch_stop(cl, FETCH_OK);
	request_of(cl)->complete(cl);
}

void fetch_stop(uclient *cl, int code) {
	request_of(cl)->error = code;
	uclient_disconnect(cl);
	uloop_cancelled = true;
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
	TextPtr escaped(curl_easy_escape(url, 0));
	if (!escaped)
		return FETCH_ERR_CONNECT;

	// In uclient's order: data available, end of body, headers done,
	// error. The client's own error codes are stored as they come.
	const uclient_cb table = {data_read, fetch_data_eof, fetch_header_done, fetch_stop};

	FetchRequest req = {};
	req.result = result;
	req.expected = expected;
	req.complete = complete;

	// A caller outside the library has no way to bring the loop up: the
	// request brings it up and takes it down again. A loop that the
	// caller's query brought up is left as it is.
	bool own_loop = !uloop_is_up();
	if (own_loop && uloop_init() != 0)
		return FETCH_ERR_CONNECT;
	uclient *cl = uclient_new(escaped.get(), &table);
	if (cl != nullptr) {
		cl->priv = &req;
		if (uclient_set_timeout(cl, timeout_ms) != 0 || uclient_connect(cl) != 0 ||
		    uclient_http_set_request_type(cl, "GET") != 0 ||
		    uclient_http_reset_headers(cl) != 0 ||
		    uclient_http_set_header(cl, "User-Agent", "tarvik (libuclient)") != 0 ||
		    uclient_request(cl) != 0)
			req.error = FETCH_ERR_CONNECT;
		else
			uloop_run_timeout(-1);
		uclient_free(cl);
	} else {
		req.error = FETCH_ERR_CONNECT;
	}
	if (own_loop)
		uloop_done();

	if (req.error != 0)
		return req.error;
	if (req.expected < 0 || req.expected == req.received)
		return FETCH_OK;
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
	FetchRequest *req = static_cast<FetchRequest *>(cl->priv);
	// No body may outgrow the bound, whatever its framing says.
	if (n > TARVIK_MAX_BODY_BYTES - req->received) {
		fetch_stop(cl, FETCH_ERR_SIZE);
		return -1;
	}
	req->received += n;
	if (req->expected >= 0 && req->received > req->expected) {
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

// A body of announced length is read straight into one chunk that holds
// the whole of it and the NUL that joining adds: one copy of each byte,
// made by the kernel, and nothing to join. Its pages are faulted in as
// the bytes arrive, so a length that the server does not keep to costs
// no more memory than what it sent.
enum class Reserved {
	Read,    // bytes were read into the chunk
	Drained, // nothing more is waiting, or a failure (`failed` set)
	Usual,   // no length announced, or the chunk is full: the bytes that
	         // follow, if any, are read the usual way, which sees surplus
};

Reserved read_reserved(uclient *cl, BodyBuffer *body) {
	const FetchRequest *req = static_cast<const FetchRequest *>(cl->priv);
	if (req->expected <= 0)
		return Reserved::Usual;
	BodyChunk *chunk = body->head;
	if (chunk == body->tail) { // nothing collected yet: reserve
		size_t size = static_cast<size_t>(req->expected) + 1;
		char *data = static_cast<char *>(malloc(size));
		if (data == nullptr) {
			body->failed = 1;
			return Reserved::Drained;
		}
		if (size >= kHugeText)
			advise(data, size, MADV_HUGEPAGE);
		BodyChunk *fresh = static_cast<BodyChunk *>(calloc(1, sizeof(BodyChunk)));
		if (fresh == nullptr) {
			free(data);
			body->failed = 1;
			return Reserved::Drained;
		}
		chunk->data = data;
		chunk->next = fresh;
		body->tail = fresh;
	} else if (chunk->next != body->tail) {
		return Reserved::Usual; // collected in several chunks
	}
	// Room left before the NUL's byte.
	size_t usable = malloc_usable_size(chunk->data);
	size_t used = static_cast<size_t>(chunk->length);
	if (usable < used + 2)
		return Reserved::Usual;
	size_t room = usable - used - 1;
	int waiting = uclient_waiting(cl);
	if (waiting >= static_cast<int>(kPopulateFrom))
		advise(chunk->data + used, static_cast<size_t>(waiting) < room ? waiting : room,
		       MADV_POPULATE_WRITE);
	int n = uclient_read_account(cl, chunk->data + used,
	                             room < INT_MAX ? static_cast<int>(room) : INT_MAX);
	if (n == 0)
		return Reserved::Drained;
	if (n < 0 || n > INT32_MAX - 1 - body->total) {
		body->failed = 1;
		return Reserved::Drained;
	}
	chunk->length += n;
	body->total += n;
	return Reserved::Read;
}

} // namespace

int get_all_data_process(uclient *cl, BodyBuffer *body) {
	for (;;) {
		Reserved reserved = read_reserved(cl, body);
		if (reserved == Reserved::Drained)
			return 0;
		if (reserved == Reserved::Read)
			continue;
		// A block as large as what is waiting, at most kBlockSize. A large
		// block is read into the client's scratch block, then copied into
		// memory of its size whose pages one call faults in. A small one
		// (also the read that finds the close, or nothing after all) is
		// read straight into where it is kept and trimmed to what came.
		int waiting = uclient_waiting(cl);
		size_t size = waiting <= 0 ? kProbeBlock : waiting < kBlockSize ? waiting : kBlockSize;
		size_t scratch_size = 0;
		char *scratch = size >= kPopulateFrom ? uclient_scratch(cl, &scratch_size) : nullptr;
		TextPtr block;
		int n;
		if (scratch != nullptr) {
			n = uclient_read_account(cl, scratch,
			                         static_cast<int>(size < scratch_size ? size : scratch_size));
			if (n > 0) {
				block.reset(static_cast<char *>(malloc(static_cast<size_t>(n))));
				if (!block) {
					body->failed = 1;
					return 0;
				}
				advise(block.get(), static_cast<size_t>(n), MADV_POPULATE_WRITE);
				copy_chunk(block.get(), scratch, static_cast<size_t>(n), true);
			}
		} else {
			block.reset(static_cast<char *>(malloc(size)));
			if (!block) {
				body->failed = 1;
				return 0;
			}
			n = uclient_read_account(cl, block.get(), static_cast<int>(size));
			if (n > 0 && static_cast<size_t>(n) < size)
				(void)resize_text(block, static_cast<size_t>(n)); // kept whole if not
		}
		if (n == 0)
			return 0;
		// Joining adds one byte for the NUL; refuse what would not fit.
		if (n < 0 || n > INT32_MAX - 1 - body->total) {
			body->failed = 1;
			return 0;
		}
		BodyChunk *fresh = static_cast<BodyChunk *>(calloc(1, sizeof(BodyChunk)));
		if (fresh == nullptr) {
			body->failed = 1;
			return 0;
		}
		BodyChunk *filled = body->tail;
		filled->data = block.release();
		filled->length = n;
		body->total += n;
		filled->next = fresh;
		body->tail = fresh;
	}
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
		// Huge pages for a text of several of them; filled a chunk at a
		// time, each chunk released once copied, so the two copies of the
		// body are never resident whole at once.
		if (size >= kHugeText)
			advise(out, size, MADV_HUGEPAGE);
		size_t at = 0;
		for (body->tail = body->head; body->tail != nullptr;) {
			BodyChunk *chunk = body->tail;
			if (chunk->length > 0) {
				advise(out + at, static_cast<size_t>(chunk->length), MADV_POPULATE_WRITE);
				copy_chunk(out + at, chunk->data, static_cast<size_t>(chunk->length), false);
			}
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
