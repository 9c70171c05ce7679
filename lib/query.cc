// Routing-daemon queries: one command to one daemon as one HTTP GET, the
// answer handed back as a JSON object or as text.
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "facts.h"
#include "holders.h"
#include "fetch.h"

namespace tarvik {
namespace {

// Runs one query and hands its value over by the out-parameter rule: only
// with a 0 from both the transport and the completion step. A value made
// on the way to a failure (a parsed object, say) is released by its
// `Holder`.
template <class Holder, class T>
int query(const char *base, const char *command, fetch_callback complete, T **answer) {
	size_t size = strlen(base) + 1 + strlen(command) + 1;
	TextPtr url(static_cast<char *>(malloc(size)));
	if (!url)
		return FETCH_ERR_CONNECT;
	snprintf(url.get(), size, "%s/%s", base, command);

	QueryResult res = {};
	res.body = get_all_data_init();
	if (res.body == nullptr)
		return FETCH_ERR_CONNECT;
	int rc = get_url(url.get(), fetch_data_read, complete, &res, -1);
	body_buffer_free(res.body);

	Holder value(static_cast<T *>(res.value));
	if (rc != 0)
		return rc;
	if (res.error == 0)
		*answer = value.release();
	return res.error;
}

} // namespace
} // namespace tarvik

using namespace tarvik;

extern "C" {

int olsr1_get_nodeinfo(const char *command, json_object **answer) {
	return query<JsonPtr>(kOlsrdFacts.base_url, command, finish_json, answer);
}

int olsr2_get_nodeinfo(const char *command, json_object **answer) {
	return query<JsonPtr>(kOlsrd2Facts.base_url, command, finish_json, answer);
}

int olsr2_get_nodeinfo_raw(const char *command, char **answer) {
	return query<TextPtr>(kOlsrd2Facts.base_url, command, finish_raw, answer);
}

} // extern "C"
