#include "json_helpers.h"

#include <json-c/printbuf.h>

#include <math.h>

namespace tarvik {

size_t json_parse_cost(const char *text, size_t length, size_t budget) {
	// The value at the top; the first member or element of each object or
	// array is paid for with the container, every other one after a comma.
	size_t cost = kParseCostItem;
	char quote = 0;        // the quote of the string the scan is in, or 0
	bool comments = false; // a "/" was met: no more strings are skipped
	for (size_t i = 0; i < length && text[i] != '\0'; i++) {
		char c = text[i];
		if (quote != 0) {
			if (c == '\\') {
				if (i + 1 < length && text[i + 1] != '\0')
					i++; // the escaped byte, whatever it is
			} else if (c == quote) {
				quote = 0;
			}
			continue;
		}
		switch (c) {
		case '{':
			cost += kParseCostObject;
			break;
		case '[':
		case ',':
			cost += kParseCostItem;
			break;
		case '"':
		case '\'':
			if (!comments)
				quote = c;
			continue;
		case '/':
			comments = true;
			continue;
		default:
			continue;
		}
		if (cost > budget)
			return cost;
	}
	return cost;
}

json_object *member(json_object *object, const char *key) {
	json_object *value = nullptr;
	return json_object_object_get_ex(object, key, &value) ? value : nullptr;
}

const char *text_of(json_object *value) {
	return json_object_is_type(value, json_type_string) ? json_object_get_string(value)
	                                                    : nullptr;
}

json_object *array_member(json_object *object, const char *key) {
	json_object *value = member(object, key);
	return json_object_is_type(value, json_type_array) ? value : nullptr;
}

size_t length_of(json_object *array) {
	return array != nullptr ? json_object_array_length(array) : 0;
}

bool add_owned(json_object *object, const char *key, json_object *value) {
	if (json_object_object_add(object, key, value) == 0)
		return true;
	json_object_put(value);
	return false;
}

json_object *add_new(json_object *object, const char *key, json_object *value) {
	return value != nullptr && add_owned(object, key, value) ? value : nullptr;
}

bool add_shared(json_object *object, const char *key, json_object *value) {
	return add_owned(object, key, json_object_get(value));
}

json_object *object_member(json_object *object, const char *key) {
	json_object *value = nullptr;
	if (json_object_object_get_ex(object, key, &value))
		return json_object_is_type(value, json_type_object) ? value : nullptr;
	return add_new(object, key, json_object_new_object());
}

bool append_owned(json_object *array, json_object *value) {
	if (json_object_array_add(array, value) == 0)
		return true;
	json_object_put(value);
	return false;
}

int write_number_or_null(json_object *value, printbuf *out, int level, int flags) {
	if (!isfinite(json_object_get_double(value)))
		return printbuf_memappend(out, "null", 4);
	// With no userdata, json-c's own double writer uses its default format.
	return json_object_double_to_json_string(value, out, level, flags);
}

} // namespace tarvik
