// json-c helpers shared by the library and the providers: what parsing an
// answer may cost, reading members of answers that may hold anything,
// adding members under one ownership rule, and the writer that gives
// non-finite numbers the text null.
// Internal: linked into both, never exported.
#ifndef TARVIK_JSON_HELPERS_H
#define TARVIK_JSON_HELPERS_H

#include <json-c/json.h>
#include <json-c/json_object_iterator.h>
#include <stddef.h>

namespace tarvik {

// What parsing a JSON text with json-c may cost in memory, estimated from
// the text before parsing: json-c spends about 800 bytes on an empty
// object of 2, so an answer bounded only in bytes can cost hundreds of
// times its size. Each object counts kParseCostObject; each array, object
// member and other value counts kParseCostItem (json-c 0.16 on a 64-bit
// machine takes at most about 800, 150 and 290 bytes for them; the 32-bit
// routers take less). The text of strings, keys and numbers is not counted:
// json-c collects and then copies it, up to twice the answer's bytes.
constexpr size_t kParseCostObject = 1024;
constexpr size_t kParseCostItem = 320;

// The estimate for the first `length` bytes of `text`, or for the bytes
// before a NUL among them (json-c reads no further). Counting stops as
// soon as the estimate exceeds `budget`: the result is then some value
// over it. The scan never counts less than json-c builds, whatever the
// text (valid JSON or not, json-c's relaxed forms included): it counts
// every "{" and "[" and, for the members and elements after the first of
// each, every ","; inside strings ("..." or '...', with backslash
// escapes) it counts nothing, up to the first "/" outside a string (a
// comment, whose end json-c versions find differently): from there on it
// counts every byte that could be structure, in strings too.
size_t json_parse_cost(const char *text, size_t length, size_t budget);
// Whether that estimate stays within `budget`.
inline bool json_parse_affordable(const char *text, size_t length, size_t budget) {
	return json_parse_cost(text, length, budget) <= budget;
}

// The member `key` of `object`; NULL when it is absent, or when `object`
// is NULL or no object.
json_object *member(json_object *object, const char *key);
// The text of a JSON string; NULL for any other value. Fields read as text
// are read only when they are strings.
const char *text_of(json_object *value);
// The member `key` of `object` when it is an array; NULL otherwise, so an
// absent and a mistyped member alike leave nothing to walk.
json_object *array_member(json_object *object, const char *key);
// The number of elements of `array`; 0 for NULL.
size_t length_of(json_object *array);

// Adds `value` under `key`, taking over its one reference (NULL adds a
// JSON null; an existing member is replaced in place). False, with the
// value released, when it cannot be added.
bool add_owned(json_object *object, const char *key, json_object *value);
// Adds a value just created for `object`, NULL meaning that creating it
// failed. Returns the value (borrowed), or NULL when there is none or it
// cannot be added.
json_object *add_new(json_object *object, const char *key, json_object *value);
// Adds a value taken from another JSON value, with a reference of its own
// (NULL, a member the source left out, becomes a null member).
bool add_shared(json_object *object, const char *key, json_object *value);
// The object member `key` of `object`, added as a new empty object when
// absent; NULL when it cannot be added or the member is no object.
json_object *object_member(json_object *object, const char *key);
// Appends `value` to `array`, taking over its reference; false, with the
// value released, when it cannot be appended.
bool append_owned(json_object *array, json_object *value);

// Calls `fn(name, value)` for each member of `object`, in order; nothing
// for NULL or a value that is no object.
template <class Fn>
void for_each_member(json_object *object, Fn fn) {
	if (!json_object_is_type(object, json_type_object))
		return;
	json_object_iterator it = json_object_iter_begin(object);
	json_object_iterator end = json_object_iter_end(object);
	for (; !json_object_iter_equal(&it, &end); json_object_iter_next(&it))
		fn(json_object_iter_peek_name(&it), json_object_iter_peek_value(&it));
}

// A json-c serializer for doubles: the number as json-c writes it, or null
// when it is not finite (JSON has no text for infinities and NaN). It is
// consulted at every serialisation, so a value later set to a finite
// number is written as a number again.
int write_number_or_null(json_object *value, struct printbuf *out, int level, int flags);

} // namespace tarvik

#endif
