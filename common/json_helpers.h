// json-c helpers shared by the library and the providers: reading members
// of answers that may hold anything, adding members under one ownership
// rule, and the writer that gives non-finite numbers the text null.
// Internal: linked into both, never exported.
#ifndef TARVIK_JSON_HELPERS_H
#define TARVIK_JSON_HELPERS_H

#include <json-c/json.h>
#include <json-c/json_object_iterator.h>

namespace tarvik {

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
