// Serialisation of the documents that leave this program.
#include "json_output.h"

#include <json-c/json_visit.h>
#include <json-c/printbuf.h>

#include <cmath>

namespace {

// Writes a double as json-c would, except that a value without JSON text
// becomes null. Checked at every serialisation, so a value later set to
// a finite number is written as a number again.
int number_or_null(json_object *value, printbuf *out, int level, int flags) {
	if (!std::isfinite(json_object_get_double(value)))
		return printbuf_memappend(out, "null", 4);
	// With no userdata, json-c's own double writer uses its default format.
	return json_object_double_to_json_string(value, out, level, flags);
}

int mark_nonfinite(json_object *value, int, json_object *, const char *, size_t *, void *) {
	// A number parsed from "NaN" or "Infinity" carries its text to be
	// written back; the serializer replaces (and frees) that text.
	if (json_object_is_type(value, json_type_double) &&
	    !std::isfinite(json_object_get_double(value)))
		json_object_set_serializer(value, number_or_null, nullptr, nullptr);
	return JSON_C_VISIT_RETURN_CONTINUE;
}

} // namespace

void json_output_null_nonfinite(json_object *doc) {
	if (doc != nullptr)
		json_c_visit(doc, 0, mark_nonfinite, nullptr);
}

const char *json_output_text(json_object *doc) {
	json_output_null_nonfinite(doc);
	return json_object_to_json_string_ext(doc, JSON_C_TO_STRING_PLAIN);
}
