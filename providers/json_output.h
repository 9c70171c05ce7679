// The text of the documents that this program prints or writes. JSON has
// no text for infinities and NaN, and json-c writes them as Infinity and
// NaN, which the mesh's collectors reject along with the whole document;
// every document leaving the program therefore writes them as null. A
// number parsed from a daemon's text is written back as that text, which
// json-c's lenient parser may have taken in a form JSON lacks ("1.",
// "-0."): such numbers are written from their value.
#ifndef DRAVEL_JSON_OUTPUT_H
#define DRAVEL_JSON_OUTPUT_H

#include <json-c/json.h>

// Marks every non-finite number in `doc` (an object, array or value;
// NULL allowed) so that json-c writes it as null from now on, in any of
// its serialisations (json_object_to_json_string_ext, json_object_to_fd,
// ...). The numbers keep their values; finite numbers are not touched,
// except that one whose text is not a JSON number is written from its
// value (1. as 1.0).
// Call it before serialising a document with json-c directly.
void json_output_null_nonfinite(json_object *doc);

// The text of `doc` as this program prints or writes it: compact JSON
// (json-c flags 0), non-finite numbers written as null; "null" for NULL.
// Marks `doc` as json_output_null_nonfinite does. The text belongs to
// `doc` and stays valid until `doc` is changed or released. NULL only
// when memory runs out.
const char *json_output_text(json_object *doc);

#endif
