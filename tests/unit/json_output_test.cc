// The text of every document that leaves the program: compact JSON,
// non-finite numbers written as null, and numbers that json-c's lenient
// parser took in forms JSON lacks written from their value.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <math.h>

#include <string>

#include "holders.h"
#include "json_output.h"

using tarvik::JsonPtr;

namespace {

std::string text(json_object *o) { return json_output_text(o); }

json_object *member(json_object *o, const char *key) { return json_object_object_get(o, key); }

JsonPtr parse(const char *json) {
	json_object *o = json_tokener_parse(json);
	EXPECT_NE(o, nullptr) << json;
	return JsonPtr(o);
}

} // namespace

TEST(JsonOutput, NonFiniteNumbersFromAnywhereAreWrittenAsNull) {
	// Parsed values carry their own text ("NaN", "Infinity", "1e999").
	JsonPtr doc = parse(R"({"a":NaN,"b":[Infinity,-Infinity,1e999],"c":{"d":2.50},"s":"Infinity","n":-0.0})");
	json_object_object_add(doc.get(), "e", json_object_new_double(-INFINITY));
	EXPECT_EQ(text(doc.get()), R"({"a":null,"b":[null,null,null],"c":{"d":2.50},"s":"Infinity","n":-0.0,"e":null})");
	// The values stay as they were.
	EXPECT_TRUE(isnan(json_object_get_double(member(doc.get(), "a"))));
	// json-c's own writers now give the same text.
	EXPECT_STREQ(json_object_to_json_string_ext(doc.get(), 0),
	             R"({"a":null,"b":[null,null,null],"c":{"d":2.50},"s":"Infinity","n":-0.0,"e":null})");
	// A value later set to a finite number is written as a number again.
	json_object_set_double(member(doc.get(), "a"), 1.5);
	EXPECT_STREQ(json_object_to_json_string_ext(member(doc.get(), "a"), 0), "1.5");
}

TEST(JsonOutput, NumbersParsedInFormsJsonLacksAreWrittenFromTheirValue) {
	// json-c's parser takes "1." and "-0." and would write them back as
	// they came; the valid forms of the same answer keep their own text.
	JsonPtr doc = parse(R"({"a":1.,"b":[-0.,2.50,1E5,-1.5e-3],"c":{"version":7.}})");
	EXPECT_EQ(text(doc.get()), R"({"a":1.0,"b":[-0.0,2.50,1E5,-1.5e-3],"c":{"version":7.0}})");
	EXPECT_STREQ(json_object_to_json_string_ext(doc.get(), 0),
	             R"({"a":1.0,"b":[-0.0,2.50,1E5,-1.5e-3],"c":{"version":7.0}})");
}

TEST(JsonOutput, NullAndPlainValues) {
	EXPECT_EQ(text(nullptr), "null");
	JsonPtr d(json_object_new_double(NAN));
	EXPECT_EQ(text(d.get()), "null");
	JsonPtr s = parse(R"({"x":[1,true,"a/b"]})");
	EXPECT_EQ(text(s.get()), json_object_to_json_string_ext(s.get(), 0));
}
