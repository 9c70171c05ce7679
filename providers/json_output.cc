// Serialisation of the documents that leave this program.
#include "json_output.h"

#include <json-c/json_visit.h>

#include <math.h>

#include "json_helpers.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// True when `text` is a number as JSON writes it:
// -? (0 | [1-9][0-9]*) (.[0-9]+)? ([eE][+-]?[0-9]+)?
bool json_number_text(const char *p) {
	if (*p == '-')
		p++;
	if (*p == '0')
		p++;
	else if (is_digit(*p))
		while (is_digit(*p))
			p++;
	else
		return false;
	if (*p == '.') {
		if (!is_digit(*++p))
			return false;
		while (is_digit(*p))
			p++;
	}
	if (*p == 'e' || *p == 'E') {
		p++;
		if (*p == '+' || *p == '-')
			p++;
		if (!is_digit(*p))
			return false;
		while (is_digit(*p))
			p++;
	}
	return *p == '\0';
}

int mark_unwritable(json_object *value, int, json_object *, const char *, size_t *, void *) {
	if (!json_object_is_type(value, json_type_double))
		return JSON_C_VISIT_RETURN_CONTINUE;
	// A parsed number carries its text to be written back as it came, and
	// json-c's parser takes texts that JSON has no room for ("NaN",
	// "Infinity", "1.", "-0."): such a number is written from its value
	// instead. The serializer replaces (and frees) the text.
	if (isfinite(json_object_get_double(value))) {
		const char *text = json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN);
		if (text != nullptr && json_number_text(text))
			return JSON_C_VISIT_RETURN_CONTINUE;
	}
	json_object_set_serializer(value, tarvik::write_number_or_null, nullptr, nullptr);
	return JSON_C_VISIT_RETURN_CONTINUE;
}

} // namespace

void json_output_null_nonfinite(json_object *doc) {
	if (doc != nullptr)
		json_c_visit(doc, 0, mark_unwritable, nullptr);
}

const char *json_output_text(json_object *doc) {
	json_output_null_nonfinite(doc);
	return json_object_to_json_string_ext(doc, JSON_C_TO_STRING_PLAIN);
}
