/*
 * A plain C11 user of libtarvik.so: include/tarvik.h compiles as C with
 * every warning an error, and a few exported functions, reached through
 * the shared library, give their documented results; get_url fetches from
 * a stand-in daemon with this program's own callbacks, nothing but the
 * exported functions in hand. Exits 0 when every check holds; prints each
 * failed check. Runs inside the sandbox (it serves on 127.0.0.1:9090).
 */
#define _POSIX_C_SOURCE 200809L

#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "c_standin.h"
#include "tarvik.h"

static int checks;
static int failures;

#define CHECK(cond) check((cond), #cond, __LINE__)

static void check(bool ok, const char *what, int line) {
	checks++;
	if (!ok) {
		failures++;
		fprintf(stderr, "public_header.c:%d: check failed: %s\n", line, what);
	}
}

static bool text_is(const char *got, const char *want) {
	return got != NULL && strcmp(got, want) == 0;
}

static void escaping(void) {
	char *url = curl_easy_escape("http://127.0.0.1:1980/telnet/nhdpinfo jsonraw link", 0);
	CHECK(text_is(url, "http://127.0.0.1:1980/telnet%2Fnhdpinfo%20jsonraw%20link"));
	free(url);

	/* An explicit length reaches past a NUL byte; bytes from 0x80 up are
	 * escaped too. */
	static const char with_nul[] = "http://h/a\0\xff~";
	url = curl_easy_escape(with_nul, (int)sizeof with_nul - 1);
	CHECK(text_is(url, "http://h/a%00%FF~"));
	free(url);

	CHECK(curl_easy_escape("http://h/x", -1) == NULL);

	int unreserved = 0;
	for (int c = 0; c < 256; c++)
		unreserved += Curl_isunreserved((unsigned char)c) != 0;
	CHECK(unreserved == 26 + 26 + 10 + 4);
	CHECK(Curl_isunreserved('~') && Curl_isunreserved('_') && !Curl_isunreserved('/'));
}

static void error_texts(void) {
	CHECK(text_is(uclient_get_errmsg(FETCH_ERR_SIZE), "Incorrect file size"));
	CHECK(text_is(uclient_get_errmsg(FETCH_ERR_NOT_JSON), "Response not json"));
	CHECK(text_is(uclient_get_errmsg(FETCH_OK), "Unknown error"));
	const char *http = uclient_get_errmsg(FETCH_ERR_HTTP | 404);
	CHECK(text_is(http, "HTTP error 404"));
	/* One static buffer for every HTTP code. */
	CHECK(uclient_get_errmsg(FETCH_ERR_HTTP | 500) == http && text_is(http, "HTTP error 500"));
}

static void body_buffer(void) {
	BodyBuffer *body = get_all_data_init();
	CHECK(body != NULL);
	if (body == NULL)
		return;
	CHECK(body->head != NULL && body->head == body->tail);
	CHECK(body->total == 0 && body->failed == 0);

	char *text = NULL;
	int length = -7;
	CHECK(get_all_data_finalize(body, &text, &length) == 0);
	CHECK(text_is(text, "") && length == 1);
	free(text);

	/* Joined once: the chunks are gone, a second join fails and leaves
	 * the outputs alone. */
	text = NULL;
	length = -7;
	CHECK(get_all_data_finalize(body, &text, &length) != 0);
	CHECK(text == NULL && length == -7);
	free(body);

	body = get_all_data_init();
	CHECK(body != NULL);
	if (body == NULL)
		return;
	body->failed = 1;
	CHECK(get_all_data_finalize(body, &text, &length) != 0);
	CHECK(text == NULL && length == -7);
	free(body->head);
	free(body);
}

static void child_processes(void) {
	/* A variadic call from C, ended by a null pointer of type char *. */
	CHECK(success_exit("/bin/sh", "-c", "exit 0", (char *)NULL));
	CHECK(!success_exit("/bin/sh", "-c", "exit 3", (char *)NULL));
	CHECK(!success_exit("/nonexistent/program", (char *)NULL));
}

/* ---- get_url with the caller's own callbacks ------------------------ */

/* The caller's record: what its data callback read, block by block. */
struct own_read {
	char text[256];
	int length;
	int reads;
	int completions;
	bool overflow;
};

static void *record_of(struct uclient *cl) {
	return ((FetchRequest *)cl->priv)->result;
}

/* Reads what is waiting in blocks of 7 bytes, through the length count. */
static void read_in_small_blocks(struct uclient *cl) {
	struct own_read *r = record_of(cl);
	r->reads++;
	char block[7];
	int n;
	while ((n = uclient_read_account(cl, block, (int)sizeof block)) > 0) {
		if (r->length + n >= (int)sizeof r->text) {
			r->overflow = true;
			return;
		}
		memcpy(r->text + r->length, block, (size_t)n);
		r->length += n;
	}
}

static void count_completion(struct uclient *cl) {
	((struct own_read *)record_of(cl))->completions++;
}

/* The caller's record for a body collected in a BodyBuffer. */
struct collected {
	BodyBuffer *body;
	char *text;
	int length;
	int joined; /* get_all_data_finalize's result */
	int completions;
};

static void collect(struct uclient *cl) {
	get_all_data_process(cl, ((struct collected *)record_of(cl))->body);
}

static void join(struct uclient *cl) {
	struct collected *c = record_of(cl);
	c->completions++;
	c->joined = get_all_data_finalize(c->body, &c->text, &c->length);
}

static void fetching(void) {
	pid_t standin = start_standin("9090", "{\"version\": {\"version\": {\"version\": \"1.0\"}},"
	                                      " \"x y\": {\"$raw\": \"plain text\"}}");
	CHECK(standin > 0);
	if (standin <= 0)
		return;

	/* No event loop is up here: get_url brings one up for each request. */
	struct own_read r = {0};
	CHECK(get_url("http://127.0.0.1:9090/version", read_in_small_blocks, count_completion, &r,
	              -1) == FETCH_OK);
	CHECK(!r.overflow && r.reads >= 1 && r.completions == 1);
	r.text[r.length] = '\0';
	CHECK(text_is(r.text, "{\"version\":{\"version\":\"1.0\"}}"));

	/* A second request after the first, its command escaped on the way. */
	struct collected c = {get_all_data_init(), NULL, 0, -1, 0};
	CHECK(c.body != NULL);
	if (c.body != NULL) {
		CHECK(get_url("http://127.0.0.1:9090/x y", collect, join, &c, -1) == FETCH_OK);
		CHECK(c.completions == 1 && c.joined == 0);
		CHECK(text_is(c.text, "plain text") && c.length == (int)strlen("plain text") + 1);
		free(c.text);
		free(c.body);
	}

	stop_standin(standin);
}

int main(void) {
	escaping();
	error_texts();
	body_buffer();
	child_processes();
	fetching();
	printf("%d checks, %d failed\n", checks, failures);
	return failures == 0 ? 0 : 1;
}
