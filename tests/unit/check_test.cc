// olsr-kavond --check below its stages: the wrapping and cleaning of the
// report, the parent's reading of the stage protocol, and the runner with
// stages that report, hang or crash.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "check_report.h"
#include "check_runner.h"

using namespace kavond;

namespace {

std::vector<std::string> wrapped(const char *first, const char *rest, const char *text) {
	std::vector<std::string> lines;
	wrap(first, rest, text, [&](const char *s, size_t n) { lines.emplace_back(s, n); });
	return lines;
}

} // namespace

// ---- report ------------------------------------------------------------------

TEST(Wrap, BreaksAtBlanksWithinTheWidthAndIndentsFurtherLines) {
	std::string text;
	for (int i = 0; i < 30; i++)
		text += "word" + std::to_string(i) + "  ";
	auto lines = wrapped("ok   ", "     ", text.c_str());
	ASSERT_GT(lines.size(), 1u);
	std::string joined;
	for (size_t i = 0; i < lines.size(); i++) {
		EXPECT_LE(lines[i].size(), kWidth) << lines[i];
		EXPECT_EQ(lines[i].substr(0, 5), i == 0 ? "ok   " : "     ");
		EXPECT_NE(lines[i].back(), ' ') << lines[i];
		joined += (i ? " " : "") + lines[i].substr(5);
	}
	// Runs of blanks become one; no word is lost or split.
	std::string expected;
	for (int i = 0; i < 30; i++)
		expected += (i ? " word" : "word") + std::to_string(i);
	EXPECT_EQ(joined, expected);
}

TEST(Wrap, NewlinesLongWordsAndEmptyText) {
	EXPECT_EQ(wrapped("a: ", "   ", "one\ntwo"), (std::vector<std::string>{"a: one", "   two"}));
	// A line that is only its prefix: for an empty text, and for an empty
	// line inside one.
	EXPECT_EQ(wrapped("a: ", "   ", ""), (std::vector<std::string>{"a: "}));
	EXPECT_EQ(wrapped("a: ", "   ", "x\n\ny"), (std::vector<std::string>{"a: x", "   ", "   y"}));
	// A word longer than a line is cut at the width and goes on below.
	std::string word(100, 'w');
	auto lines = wrapped("hint: ", "      ", word.c_str());
	ASSERT_EQ(lines.size(), 2u);
	EXPECT_EQ(lines[0], "hint: " + std::string(kWidth - 6, 'w'));
	EXPECT_EQ(lines[1], "      " + std::string(100 - (kWidth - 6), 'w'));
}

TEST(Clean, OutsideTextIsMadeFitForATerminal) {
	EXPECT_STREQ(Clean("mesh0").c_str(), "mesh0");
	EXPECT_STREQ(Clean(nullptr).c_str(), "(none)");
	EXPECT_STREQ(Clean("a\x1b[2Jb\n\xc3\xa9").c_str(), "a?[2Jb???");
	EXPECT_STREQ(Clean("0123456789", 8).c_str(), "01234...");
	EXPECT_STREQ(Clean("01234567", 8).c_str(), "01234567");
	// The cut never exceeds the buffer, whatever is asked.
	std::string long_text(200, 'x');
	EXPECT_EQ(strlen(Clean(long_text.c_str(), 500).c_str()), 79u);
}

// ---- the parent's end of the protocol -----------------------------------------------

TEST(StageProtocol, FindingsArePrintedAndFactsKept) {
	FoundSoFar facts;
	StageState state;
	EXPECT_TRUE(read_stage_line("ok   site configuration: fine", facts, state));
	EXPECT_TRUE(read_stage_line("     hint: FAIL inside a hint is no FAIL", facts, state));
	EXPECT_FALSE(state.failed);
	EXPECT_TRUE(read_stage_line("FAIL olsrd: not running", facts, state));
	EXPECT_TRUE(state.failed);

	EXPECT_FALSE(read_stage_line("@config 1", facts, state));
	EXPECT_FALSE(read_stage_line("@enabled 1 1", facts, state));
	EXPECT_FALSE(read_stage_line("@running 0 1", facts, state));
	EXPECT_FALSE(read_stage_line("@answers 0 1", facts, state));
	EXPECT_TRUE(facts.config);
	EXPECT_FALSE(facts.enabled[0]);
	EXPECT_TRUE(facts.enabled[1]);
	EXPECT_TRUE(facts.running[0]);
	EXPECT_TRUE(facts.answers[0]);
	EXPECT_FALSE(facts.answers[1]);
	EXPECT_FALSE(read_stage_line("@enabled 1 0", facts, state));
	EXPECT_FALSE(facts.enabled[1]);
}

TEST(StageProtocol, MalformedFactsAreNeitherPrintedNorKept) {
	FoundSoFar facts;
	StageState state;
	for (const char *line : {"@enabled 2 1", "@enabled -1 1", "@enabled 0", "@enabled 0 1 x",
	                         "@running x 1", "@config 0", "@unknown 1", "@"}) {
		EXPECT_FALSE(read_stage_line(line, facts, state)) << line;
	}
	EXPECT_FALSE(facts.config);
	EXPECT_FALSE(facts.enabled[0] || facts.enabled[1] || facts.running[0]);
}

TEST(StageProtocol, WhatTheStageDoesAndTheHintForLateness) {
	FoundSoFar facts;
	StageState state;
	read_stage_line("@at asking olsrd", facts, state);
	read_stage_line("@late olsrd hangs", facts, state);
	EXPECT_STREQ(state.doing, "asking olsrd");
	EXPECT_STREQ(state.late_hint, "olsrd hangs");
	// A new step drops the previous step's hint.
	read_stage_line("@at building the table", facts, state);
	EXPECT_STREQ(state.doing, "building the table");
	EXPECT_STREQ(state.late_hint, "");
	// Overlong texts are cut to their buffers.
	std::string long_line = "@at " + std::string(1000, 'x');
	read_stage_line(long_line.c_str(), facts, state);
	EXPECT_EQ(strlen(state.doing), sizeof state.doing - 1);
}

TEST(StageProtocol, AnnouncedProbesExtendTheDeadlineUpToTheLimit) {
	FoundSoFar facts;
	StageState state;
	state.start = 1000;
	state.deadline = 6000;
	read_stage_line("@probes 2", facts, state);
	EXPECT_EQ(state.deadline, 6000 + 2 * kPerProbeMs);
	read_stage_line("@probes 0", facts, state);
	read_stage_line("@probes -5", facts, state);
	EXPECT_EQ(state.deadline, 6000 + 2 * kPerProbeMs);
	read_stage_line("@probes 1000000", facts, state);
	EXPECT_EQ(state.deadline, 1000 + kMaxStageMs);
}

// ---- the runner, with real stages ------------------------------------------------

namespace {

void reporting_stage(const FoundSoFar &seen, StageReport &r, int arg) {
	r.config_found();
	r.enabled(arg, true);
	r.line(kWarn, "stage %d: %s", arg, seen.running[0] ? "saw olsrd running" : "first");
	r.hint("a hint");
}

void hanging_stage(const FoundSoFar &, StageReport &r, int) {
	r.doing("waiting for nothing", "nothing comes: look elsewhere");
	pause();
}

void crashing_stage(const FoundSoFar &, StageReport &r, int) {
	r.line(kOk, "before the crash");
	abort();
}

// Runs `fn` as a stage of `run`; what the parent printed, and in `*ended`
// whether the stage ended by itself.
std::string run_stage(Runner &run, int deadline_ms, StageFn fn, bool *ended, int arg = 0) {
	testing::internal::CaptureStdout();
	*ended = run.run("stage", deadline_ms, "the runner's hint", fn, arg);
	return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(Runner, FindingsAndFactsOfAStageReachTheParent) {
	Runner run;
	run.found.running[0] = true;
	bool ended = false;
	EXPECT_EQ(run_stage(run, 5000, reporting_stage, &ended, 1),
	          "warn stage 1: saw olsrd running\n     hint: a hint\n");
	EXPECT_TRUE(ended);
	EXPECT_TRUE(run.found.config);
	EXPECT_TRUE(run.found.enabled[1]);
	EXPECT_FALSE(run.failed());
}

TEST(Runner, AHangingStageIsKilledAtItsDeadlineAndNamed) {
	Runner run;
	bool ended = true;
	EXPECT_EQ(run_stage(run, 300, hanging_stage, &ended),
	          "FAIL stage: no result within 1 s, while waiting for nothing\n"
	          "     hint: nothing comes: look elsewhere\n");
	EXPECT_FALSE(ended);
	EXPECT_TRUE(run.failed());
}

TEST(Runner, AStageEndedByASignalIsAFailure) {
	Runner run;
	bool ended = true;
	std::string out = run_stage(run, 5000, crashing_stage, &ended);
	EXPECT_EQ(out.rfind("ok   before the crash\nFAIL stage: the stage ended by signal 6", 0), 0u)
	    << out;
	EXPECT_FALSE(ended);
	EXPECT_TRUE(run.failed());
}
