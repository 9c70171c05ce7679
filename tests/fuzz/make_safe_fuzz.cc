// make_safe on arbitrary cache-file content: a document or NULL, never a
// crash, and a document survives being written and read back.
#include <fcntl.h>
#include <json-c/json.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "cache.h"

using namespace kavond;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	const char *path = "/tmp/olsrd-kavond-fuzz.json";
	int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
	if (fd < 0)
		abort();
	if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size))
		abort();
	close(fd);

	json_object *doc = make_safe("fuzz");
	if (doc != nullptr) {
		// What a refresh would store of it reads back as the same text.
		const char *text = json_object_to_json_string_ext(doc, JSON_C_TO_STRING_PLAIN);
		json_object *again = json_tokener_parse(text);
		if (again == nullptr && json_object_get_type(doc) != json_type_null)
			abort();
		json_object_put(again);
		json_object_put(doc);
	}
	return 0;
}
