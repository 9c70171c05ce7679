// The estimate of what parsing an answer may cost (json_parse_cost): what
// it counts and skips, and that json-c never builds more than it says.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "json_helpers.h"
#include "tarvik.h"
#include "test_support.h"

using tarvik::json_parse_affordable;
using tarvik::json_parse_cost;
using testing_support::ChildCost;
using testing_support::cost_in_child;

namespace {

constexpr size_t kItem = tarvik::kParseCostItem;
constexpr size_t kObject = tarvik::kParseCostObject;
constexpr size_t kNoLimit = static_cast<size_t>(-1) / 2;

size_t cost(const std::string &text) { return json_parse_cost(text.data(), text.size(), kNoLimit); }

TEST(JsonParseCost, CountsContainersAndValuesOutsideStrings) {
	struct Case {
		const char *name;
		std::string text;
		size_t cost;
	} cases[] = {
	    {"a number", "1", kItem},
	    {"an empty object", "{}", kItem + kObject},
	    {"three elements", "[1,2,3]", 4 * kItem},
	    {"nested", R"({"a":1,"b":[{},{}]})", 4 * kItem + 3 * kObject},
	    {"blanks and literals", " [ true , null , -1.5e3 ] ", 4 * kItem},
	    {"structure inside a string", R"({"{[,":"]},{[{"})", kItem + kObject},
	    {"an escaped quote", R"(["\"{,[", {}])", 3 * kItem + kObject},
	    {"an escaped backslash", R"(["\\", {}])", 3 * kItem + kObject},
	    {"single quotes, each holding the other", R"(['{,"[', "',{"])", 3 * kItem},
	    {"after a slash quotes hide nothing", R"([1,/* " */ {}, "{,"])",
	     5 * kItem + 2 * kObject},
	    {"a NUL ends the text", std::string("[1]\0[{},{}]", 11), 2 * kItem},
	};
	for (const Case &c : cases)
		EXPECT_EQ(cost(c.text), c.cost) << c.name;
	// Counting stops once past the budget.
	std::string many = "[{}" + std::string(300000, ',') + "]";
	EXPECT_LE(json_parse_cost(many.data(), many.size(), 10000), 10000 + kObject);
	EXPECT_FALSE(json_parse_affordable(many.data(), many.size(), 10000));
}

// The most of one shape that the budget allows: json-c stays below it.
TEST(JsonParseCost, JsonCBuildsNoMoreThanTheEstimate) {
	if (getenv("TARVIK_SANITIZE") != nullptr || getenv("TARVIK_TEST_EMULATOR") != nullptr)
		GTEST_SKIP() << "another allocator or word size than the one measured";
	struct Shape {
		const char *open, *item, *close; // "%d" in `item`: the element's number
	} shapes[] = {
	    {"[", "{}", "]"},       {"[", "[]", "]"},         {"[", "1.5", "]"},
	    {"[", "\"\"", "]"},     {"{", "\"%d\":{}", "}"}, {"[", "{\"a\":%d}", "]"},
	    {"[", "[{}]", "]"},
	};
	for (const Shape &s : shapes) {
		auto make = [&](size_t count) {
			std::string text = s.open;
			char item[32];
			for (size_t i = 0; i < count; i++) {
				snprintf(item, sizeof item, s.item, static_cast<int>(i));
				text += (i > 0 ? "," : "") + std::string(item);
			}
			return text + s.close;
		};
		size_t one = cost(make(1));
		std::string text = make(1 + (TARVIK_MAX_PARSE_BYTES - one) / (cost(make(2)) - one));
		ASSERT_TRUE(json_parse_affordable(text.data(), text.size(), TARVIK_MAX_PARSE_BYTES));
		bool parsed = false;
		ChildCost c = cost_in_child(
		    [&] {
			    json_object *value = json_tokener_parse(text.c_str());
			    parsed = value != nullptr;
		    },
		    &parsed, sizeof parsed);
		EXPECT_TRUE(parsed) << text.substr(0, 20);
		EXPECT_GE(c.growth_kib, 0) << text.substr(0, 20);
		EXPECT_LE(c.growth_kib, TARVIK_MAX_PARSE_BYTES / 1024) << text.substr(0, 20);
	}
}

} // namespace
