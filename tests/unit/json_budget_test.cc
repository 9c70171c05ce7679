// The estimate of what parsing an answer may cost (json_parse_cost): what
// it counts, what it skips, that it never counts less than json-c builds,
// and how far the daemons' answers stay below the budget.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "json_helpers.h"
#include "tarvik.h"
#include "test_support.h"

using testing_support::read_file;
using tarvik::json_parse_affordable;
using tarvik::json_parse_cost;
using tarvik::kParseCostItem;
using tarvik::kParseCostObject;

namespace {

constexpr size_t kItem = kParseCostItem;
constexpr size_t kObject = kParseCostObject;
constexpr size_t kNoLimit = static_cast<size_t>(-1) / 2;

size_t cost(const std::string &text) { return json_parse_cost(text.data(), text.size(), kNoLimit); }

TEST(JsonParseCost, CountsObjectsArraysMembersAndValues) {
	// The value at the top is an item; the first member or element of a
	// container is paid with it, each further one with its comma.
	EXPECT_EQ(cost(""), kItem);
	EXPECT_EQ(cost("1"), kItem);
	EXPECT_EQ(cost("{}"), kItem + kObject);
	EXPECT_EQ(cost("[]"), kItem + kItem);
	EXPECT_EQ(cost("[1,2,3]"), kItem + kItem + 2 * kItem);
	EXPECT_EQ(cost(R"({"a":1,"b":[{},{}]})"),
	          kItem + kObject + kItem + kItem + 2 * kObject + kItem);
	// Blanks, numbers and literals cost nothing of their own.
	EXPECT_EQ(cost(" [ true , null , -1.5e3 ] "), cost("[1,1,1]"));
}

TEST(JsonParseCost, SkipsStringsWithTheirEscapes) {
	EXPECT_EQ(cost(R"({"{[,":"]},{[{"})"), cost("{}"));
	// An escaped quote does not end the string, an escaped backslash does
	// not escape the quote after it.
	EXPECT_EQ(cost(R"(["\"{,[", {}])"), kItem + kItem + kItem + kObject);
	EXPECT_EQ(cost(R"(["\\", {}])"), kItem + kItem + kItem + kObject);
	EXPECT_EQ(cost(R"(["\u005c\"{[,"])"), kItem + kItem);
	// json-c also takes strings in single quotes; each quote holds the
	// other.
	EXPECT_EQ(cost(R"(['{,"[', "',{"])"), kItem + kItem + kItem);
	// A string that never ends hides nothing json-c would build.
	EXPECT_EQ(cost(R"([{}, "{},{},{})"), kItem + kItem + kObject + kItem);
}

TEST(JsonParseCost, CountsEverythingAfterASlash) {
	// Where json-c ends a comment depends on its version: after the first
	// "/" outside a string, quotes hide nothing.
	EXPECT_EQ(cost(R"([1,/* " */ {}, "{,"])"),
	          kItem + kItem + kItem + kObject + kItem + kObject + kItem);
	EXPECT_EQ(cost("[/* **/ \" */ {},{}]"), kItem + kItem + 2 * kObject + kItem);
	// Before the slash, strings are skipped as ever.
	EXPECT_EQ(cost(R"(["{,", 1 // ")"), kItem + kItem + kItem);
}

TEST(JsonParseCost, StopsAtANulByteAsJsonCDoes) {
	const char text[] = "[1]\0[{},{},{}]";
	EXPECT_EQ(json_parse_cost(text, sizeof text - 1, kNoLimit), cost("[1]"));
	const char in_string[] = "[\"\\\0\",{},{}]";
	EXPECT_EQ(json_parse_cost(in_string, sizeof in_string - 1, kNoLimit), kItem + kItem);
	// Only `length` bytes are read.
	EXPECT_EQ(json_parse_cost("[{},{}]", 3, kNoLimit), kItem + kItem + kObject);
}

TEST(JsonParseCost, StopsCountingPastTheBudget) {
	std::string objects = "[";
	for (int i = 0; i < 100000; i++)
		objects += "{},";
	objects += "{}]";
	size_t full = cost(objects);
	size_t stopped = json_parse_cost(objects.data(), objects.size(), 10000);
	EXPECT_GT(stopped, 10000u);
	EXPECT_LE(stopped, 10000 + kObject);
	EXPECT_LT(stopped, full);
	EXPECT_FALSE(json_parse_affordable(objects.data(), objects.size(), 10000));
	// Within the budget to the byte.
	EXPECT_TRUE(json_parse_affordable(objects.data(), objects.size(), full));
	EXPECT_FALSE(json_parse_affordable(objects.data(), objects.size(), full - 1));
}

// ---- the estimate against json-c ---------------------------------------

// Hands the heap's free pages back to the kernel, so that memory that
// earlier tests freed (still resident) cannot hide the growth measured
// next.
void release_free_heap() {
#ifdef __GLIBC__
	malloc_trim(0);
#endif
}

// A figure from /proc/self/status, in KiB.
long status_kib(const char *field) {
	std::string status = read_file("/proc/self/status");
	size_t at = status.find(std::string(field) + ":");
	return at == std::string::npos ? -1
	                                : strtol(status.c_str() + at + strlen(field) + 1, nullptr, 10);
}

// Peak RSS growth, in KiB, of parsing `text` in a child process; -1 when
// it could not be measured.
long parse_growth_kib(const std::string &text) {
	int out[2];
	if (pipe(out) != 0)
		return -1;
	fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		close(out[0]);
		long growth = -1;
		release_free_heap();
		int fd = open("/proc/self/clear_refs", O_WRONLY);
		bool reset = fd >= 0 && write(fd, "5", 1) == 1; // peak RSS := RSS
		if (fd >= 0)
			close(fd);
		long before = status_kib("VmRSS");
		json_object *value = json_tokener_parse(text.c_str());
		if (reset && value != nullptr)
			growth = status_kib("VmHWM") - before;
		_exit(write(out[1], &growth, sizeof growth) == sizeof growth ? 0 : 1);
	}
	close(out[1]);
	long growth = -1;
	if (read(out[0], &growth, sizeof growth) != sizeof growth)
		growth = -1;
	close(out[0]);
	waitpid(pid, nullptr, 0);
	return growth;
}

// `open` + `count` items (joined by ",") + `close`.
std::string repeated(const char *open, const std::function<std::string(int)> &item, int count,
                     const char *close) {
	std::string text = open;
	for (int i = 0; i < count; i++)
		text += (i > 0 ? "," : "") + item(i);
	return text + close;
}

// The longest such text whose estimate stays within the budget.
std::string largest_within_budget(const char *open, const std::function<std::string(int)> &item,
                                  const char *close) {
	auto within = [&](int count) {
		std::string text = repeated(open, item, count, close);
		return json_parse_affordable(text.data(), text.size(), TARVIK_MAX_PARSE_BYTES);
	};
	int low = 0, high = 1; // within, and past the budget
	while (within(high))
		low = high, high *= 2;
	while (high - low > 1) {
		int mid = low + (high - low) / 2;
		(within(mid) ? low : high) = mid;
	}
	return repeated(open, item, low, close);
}

TEST(JsonParseCost, JsonCBuildsNoMoreThanTheEstimate) {
	auto fixed = [](const char *item) { return [item](int) { return std::string(item); }; };
	auto keyed = [](const char *value) {
		return [value](int i) { return "\"" + std::to_string(i) + "\":" + value; };
	};
	struct Shape {
		const char *name;
		std::string text;
	} shapes[] = {
	    {"[{}...]", largest_within_budget("[", fixed("{}"), "]")},
	    {"[[]...]", largest_within_budget("[", fixed("[]"), "]")},
	    {"[1...]", largest_within_budget("[", fixed("1"), "]")},
	    {"[1.5...]", largest_within_budget("[", fixed("1.5"), "]")},
	    {"[\"\"...]", largest_within_budget("[", fixed("\"\""), "]")},
	    {"{k:1...}", largest_within_budget("{", keyed("1"), "}")},
	    {"{k:{}...}", largest_within_budget("{", keyed("{}"), "}")},
	    {"{k:[]...}", largest_within_budget("{", keyed("[]"), "}")},
	    {"[{a:1}...]", largest_within_budget("[", fixed("{\"a\":1}"), "]")},
	    {"[[{}]...]", largest_within_budget("[", fixed("[{}]"), "]")},
	    {"[[1]...]", largest_within_budget("[", fixed("[1]"), "]")},
	};
	for (const Shape &s : shapes) {
		SCOPED_TRACE(s.name);
		long growth = parse_growth_kib(s.text);
		printf("%-12s %7zu bytes, estimate %4zu KiB: json-c peak RSS +%ld KiB\n", s.name,
		       s.text.size(), cost(s.text) / 1024, growth);
		ASSERT_GE(growth, 0) << "not parsed, or peak RSS not measured";
		EXPECT_LE(growth, TARVIK_MAX_PARSE_BYTES / 1024);
	}
}

// ---- the daemons' answers ------------------------------------------------

// Every answer of the stand-ins' answer files and of the fuzzing corpus,
// compact as the daemons send them: name and text.
std::vector<std::pair<std::string, std::string>> known_answers() {
	std::vector<std::pair<std::string, std::string>> answers;
	std::string top = TARVIK_SOURCE_DIR;
	for (const char *file : {"/standin/answers/olsrd.json", "/standin/answers/olsrd2.json"}) {
		json_object *all = json_tokener_parse(read_file(top + file).c_str());
		tarvik::for_each_member(all, [&](const char *command, json_object *answer) {
			answers.emplace_back(std::string(file) + " " + command,
			                     json_object_to_json_string_ext(answer, JSON_C_TO_STRING_PLAIN));
		});
		json_object_put(all);
	}
	std::string corpus = top + "/tests/fuzz/corpus/answers";
	if (DIR *dir = opendir(corpus.c_str())) {
		while (dirent *entry = readdir(dir))
			if (entry->d_name[0] != '.')
				answers.emplace_back(entry->d_name, read_file(corpus + "/" + entry->d_name));
		closedir(dir);
	}
	return answers;
}

TEST(JsonParseCost, TheDaemonsAnswersStayFarBelowTheBudget) {
	std::vector<std::pair<std::string, std::string>> answers = known_answers();
	ASSERT_GE(answers.size(), 10u);
	size_t largest = 0;
	for (const auto &[name, text] : answers) {
		size_t estimate = cost(text);
		EXPECT_LE(estimate, TARVIK_MAX_PARSE_BYTES / 50) << name;
		largest = estimate > largest ? estimate : largest;
	}
	printf("largest estimate of %zu answers: %zu bytes (budget %d)\n", answers.size(), largest,
	       TARVIK_MAX_PARSE_BYTES);
}

} // namespace
