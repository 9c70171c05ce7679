// oi and success_exit: the site configuration decides which daemons are
// enabled, the init scripts whether they run. Runs in the sandbox, so the
// tests write /etc/plovan/site.json and /etc/init.d/* themselves.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "tarvik.h"
#include "test_support.h"

using testing_support::read_file;
using testing_support::write_file;

namespace {

const char kConfig[] = "/etc/plovan/site.json";
const char kCalls[] = "/tmp/init-calls";

// An init script that records how it was called ("$0 $#:$*") and exits
// with `status`.
void install_script(const std::string &name, const std::string &exit_line) {
	write_file("/etc/init.d/" + name,
	           "#!/bin/sh\necho \"$0 $#:$*\" >> " + std::string(kCalls) + "\n" + exit_line + "\n",
	           0755);
}

std::string site(const std::string &olsrd) {
	return "{\"mesh\":{\"olsrd\":" + olsrd + "}}";
}

// A state whose bytes no call of oi would write, to see that it is
// untouched.
DaemonState sentinel() { return DaemonState{7, 8, 9, 10}; }

void expect_state(const DaemonState &s, int e1, int r1, int e2, int r2) {
	EXPECT_EQ(s.olsr1_enabled, e1);
	EXPECT_EQ(s.olsr1_running, r1);
	EXPECT_EQ(s.olsr2_enabled, e2);
	EXPECT_EQ(s.olsr2_running, r2);
}

class Oi : public ::testing::Test {
protected:
	void SetUp() override {
		unlink(kConfig);
		unlink(kCalls);
		unlink("/etc/init.d/olsrd");
		unlink("/etc/init.d/olsrd2");
	}
};

TEST_F(Oi, FailsWithoutUsableConfigurationAndLeavesStateUntouched) {
	const char *configs[] = {
	    nullptr,                          // no file at all
	    "not json",                       // unreadable
	    "[1,2]",                          // not an object
	    "{}",                             // no "mesh"
	    "{\"mesh\":{}}",                  // no "olsrd"
	    "{\"mesh\":{\"olsrd\":null}}",    // "olsrd" null
	    "{\"mesh\":\"olsrd\"}",           // "mesh" not an object
	};
	for (const char *config : configs) {
		SCOPED_TRACE(config ? config : "(missing)");
		unlink(kConfig);
		if (config)
			write_file(kConfig, config);
		DaemonState state = sentinel();
		EXPECT_EQ(oi(&state), 1);
		expect_state(state, 7, 8, 9, 10);
	}
}

TEST_F(Oi, NoDaemonSectionsClearsEveryFlag) {
	write_file(kConfig, site("{}"));
	DaemonState state{1, 1, 1, 1};
	EXPECT_EQ(oi(&state), 0);
	expect_state(state, 0, 0, 0, 0);
}

TEST_F(Oi, EnableFollowsJsonBooleanConversion) {
	install_script("olsrd", "exit 0");
	struct Case {
		const char *enable;
		int enabled;
	} cases[] = {
	    {"true", 1},  {"false", 0}, {"\"false\"", 1}, {"\"\"", 0},
	    {"0", 0},     {"2", 1},     {"null", 0},      {"{}", 0},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.enable);
		unlink(kCalls);
		write_file(kConfig, site(std::string("{\"v1_4\":{\"enable\":") + c.enable + "}}"));
		DaemonState state = sentinel();
		ASSERT_EQ(oi(&state), 0);
		expect_state(state, c.enabled, c.enabled, 0, 0);
		// A daemon that is not enabled is never asked.
		EXPECT_EQ(read_file(kCalls).empty(), c.enabled == 0);
	}
}

TEST_F(Oi, MissingEnableCountsAsDisabled) {
	install_script("olsrd2", "exit 0");
	write_file(kConfig, site("{\"v2\":{}}"));
	DaemonState state = sentinel();
	ASSERT_EQ(oi(&state), 0);
	expect_state(state, 0, 0, 0, 0);
	EXPECT_EQ(read_file(kCalls), "");
}

TEST_F(Oi, RunsEachEnabledScriptByAbsolutePathWithRunningOlsrdFirst) {
	install_script("olsrd", "exit 0");
	install_script("olsrd2", "exit 0");
	write_file(kConfig, site("{\"v2\":{\"enable\":true},\"v1_4\":{\"enable\":true}}"));
	DaemonState state = sentinel();
	ASSERT_EQ(oi(&state), 0);
	expect_state(state, 1, 1, 1, 1);
	EXPECT_EQ(read_file(kCalls), "/etc/init.d/olsrd 1:running\n/etc/init.d/olsrd2 1:running\n");
}

TEST_F(Oi, ScriptThatDoesNotReportRunningLeavesOnlyEnabled) {
	write_file(kConfig, site("{\"v1_4\":{\"enable\":true},\"v2\":{\"enable\":true}}"));
	struct Case {
		const char *what;
		const char *exit_line; // nullptr: no script installed
	} cases[] = {
	    {"exit status 3", "exit 3"},
	    {"killed by a signal", "kill -KILL $$"},
	    {"missing script", nullptr},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		install_script("olsrd", "exit 0");
		unlink("/etc/init.d/olsrd2");
		if (c.exit_line)
			install_script("olsrd2", c.exit_line);
		DaemonState state = sentinel();
		ASSERT_EQ(oi(&state), 0);
		expect_state(state, 1, 1, 1, 0);
	}
}

TEST_F(Oi, ScriptWithoutExecutePermissionCountsAsNotRunning) {
	write_file("/etc/init.d/olsrd", "#!/bin/sh\nexit 0\n", 0644);
	write_file(kConfig, site("{\"v1_4\":{\"enable\":true}}"));
	DaemonState state = sentinel();
	ASSERT_EQ(oi(&state), 0);
	expect_state(state, 1, 0, 0, 0);
}

TEST(SuccessExit, TrueOnlyForANormalExitWithStatusZero) {
	EXPECT_TRUE(success_exit("/bin/sh", "-c", "exit 0", (char *)nullptr));
	EXPECT_FALSE(success_exit("/bin/sh", "-c", "exit 1", (char *)nullptr));
	EXPECT_FALSE(success_exit("/bin/sh", "-c", "exit 3", (char *)nullptr));
	EXPECT_FALSE(success_exit("/bin/sh", "-c", "exit 255", (char *)nullptr));
	EXPECT_FALSE(success_exit("/bin/sh", "-c", "kill -KILL $$", (char *)nullptr));
	EXPECT_FALSE(success_exit("/bin/sh", "-c", "kill -TERM $$", (char *)nullptr));
}

TEST(SuccessExit, PassesPathAsArgumentZeroAndTheArgumentsInOrder) {
	// sh -c SCRIPT NAME ARGS...: NAME becomes $0.
	EXPECT_TRUE(success_exit("/bin/sh", "-c",
	                         "[ $# -eq 2 ] && [ \"$0\" = zero ] && [ \"$1\" = one ] && "
	                         "[ \"$2\" = 'two words' ]",
	                         "zero", "one", "two words", (char *)nullptr));
	write_file("/tmp/argv0.sh", "#!/bin/sh\n[ \"$0\" = /tmp/argv0.sh ] && [ $# -eq 0 ]\n", 0755);
	EXPECT_TRUE(success_exit("/tmp/argv0.sh", (char *)nullptr));
}

TEST(SuccessExit, DoesNotSearchThePath) {
	ASSERT_EQ(access("true", F_OK), -1) << "a file named true in the working directory";
	EXPECT_FALSE(success_exit("true", (char *)nullptr));
	EXPECT_FALSE(success_exit("/nonexistent/program", (char *)nullptr));
}

// When execv fails, the child must end without flushing the stdio buffers
// it copied from the caller, or the caller's pending output is written
// twice.
TEST(SuccessExit, FailedExecDoesNotRepeatTheCallersPendingOutput) {
	const char path[] = "/tmp/pending-output";
	FILE *out = fopen(path, "w");
	ASSERT_NE(out, nullptr);
	ASSERT_EQ(setvbuf(out, nullptr, _IOFBF, 4096), 0);
	fputs("pending\n", out);
	EXPECT_FALSE(success_exit("/nonexistent/program", (char *)nullptr));
	fclose(out);
	EXPECT_EQ(read_file(path), "pending\n");
}

} // namespace
