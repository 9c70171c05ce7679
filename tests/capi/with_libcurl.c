/*
 * A plain C program that links libcurl ahead of libtarvik.so, so that
 * libcurl's curl_easy_escape (CURL *, const char *, int) is the one the
 * program's symbol lookup finds first. The library's queries must still
 * reach its own functions (curl_easy_escape, get_url, ...), not
 * libcurl's: olsr1_get_nodeinfo gets its answer from a stand-in daemon.
 * Exits 0 when every check holds; prints each failed check. Runs inside
 * the sandbox (it serves on 127.0.0.1:9090).
 */
#define _GNU_SOURCE

#include <dlfcn.h>
#include <json-c/json.h>
#include <stdbool.h>
#include <stdio.h>
#include <string.h>

#include "c_standin.h"
#include "tarvik.h"

/* From libcurl; its header is not included, as it declares
 * curl_easy_escape otherwise than tarvik.h does. */
char *curl_version(void);

static int failures;

#define CHECK(cond) check((cond), #cond, __LINE__)

static void check(bool ok, const char *what, int line) {
	if (!ok) {
		failures++;
		fprintf(stderr, "with_libcurl.c:%d: check failed: %s\n", line, what);
	}
}

/* The file that the global lookup of NAME (what an undefined reference
 * binds to) finds it in. */
static const char *first_definer(const char *name) {
	Dl_info info;
	void *address = dlsym(RTLD_DEFAULT, name);
	if (address == NULL || dladdr(address, &info) == 0 || info.dli_fname == NULL)
		return "";
	return info.dli_fname;
}

int main(void) {
	/* The set-up holds: libcurl is loaded, and its curl_easy_escape is
	 * the one found first. */
	CHECK(strncmp(curl_version(), "libcurl/", 8) == 0);
	CHECK(strstr(first_definer("curl_easy_escape"), "libcurl") != NULL);

	pid_t standin = start_standin("9090", "{\"version\": {\"version\": {\"version\": \"1.0\"}}}");
	CHECK(standin > 0);
	if (standin > 0) {
		struct json_object *answer = NULL;
		int rc = olsr1_get_nodeinfo("version", &answer);
		if (rc != 0)
			fprintf(stderr, "olsr1_get_nodeinfo: %d (%s)\n", rc, uclient_get_errmsg(rc));
		CHECK(rc == 0);
		const char *text = answer ? json_object_to_json_string_ext(answer, JSON_C_TO_STRING_PLAIN) : "";
		CHECK(strcmp(text, "{\"version\":{\"version\":\"1.0\"}}") == 0);
		json_object_put(answer);
		stop_standin(standin);
	}
	printf("%s\n", failures == 0 ? "every check held" : "checks failed");
	return failures == 0 ? 0 : 1;
}
