// Cache files and the provider table: make_safe, update_cache_file (with a
// stand-in refresh command installed at /usr/bin/olsr-kavond in the
// sandbox), the loadable module, and refreshes racing with readers.
#include <dlfcn.h>
#include <signal.h>
#include <string.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "kavond_provider.h"
#include "cache.h"
#include "test_support.h"

using namespace testing_support;

namespace {

const char *kCommand = "/usr/bin/olsr-kavond";
const char *kMarker = "/run/olsr-kavond-ran";

// Installs a refresh command that notes each run in kMarker and then runs
// `body` (shell).
void install_command(const std::string &body) {
	write_file(kCommand, "#!/bin/sh\necho \"$1\" >> " + std::string(kMarker) + "\n" + body + "\n",
	           0755);
	unlink(kMarker);
}

int command_runs() {
	std::string log = read_file(kMarker);
	return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
}

std::string compact(json_object *o) { return o ? json_object_to_json_string_ext(o, 0) : "NULL"; }

// Runs `fn` with standard error captured; returns what it printed.
template <class F>
std::string capture_stderr(F fn) {
	fflush(stderr);
	int saved = dup(2);
	int fd = open("/run/captured-stderr", O_RDWR | O_CREAT | O_TRUNC, 0644);
	dup2(fd, 2);
	close(fd);
	fn();
	fflush(stderr);
	dup2(saved, 2);
	close(saved);
	return read_file("/run/captured-stderr");
}

class CacheTest : public ::testing::Test {
protected:
	void SetUp() override {
		for (const char *name : {"nodeinfo", "statistics", "neighbours", "n", "t"})
			unlink(("/tmp/olsrd-kavond-" + std::string(name) + ".json").c_str());
	}
};

TEST_F(CacheTest, MakeSafeReadsOnlyWholeDocuments) {
	EXPECT_EQ(make_safe("n"), nullptr) << "no file";

	write_file("/tmp/olsrd-kavond-n.json", R"({"a":[1,2,{"b":"c"}]})");
	json_object *doc = make_safe("n");
	EXPECT_EQ(compact(doc), R"({"a":[1,2,{"b":"c"}]})");
	json_object_put(doc);

	write_file("/tmp/olsrd-kavond-n.json", "");
	EXPECT_EQ(make_safe("n"), nullptr) << "empty file, as between truncation and write";

	write_file("/tmp/olsrd-kavond-n.json", R"({"a":[1,2,{"b":)");
	EXPECT_EQ(make_safe("n"), nullptr) << "half-written file";
}

TEST_F(CacheTest, NamesWhosePathWouldNotFitAreRefusedNotCut) {
	// 16 characters: the path has 39 and fits.
	write_file("/tmp/olsrd-kavond-abcdefghijklmnop.json", "{}");
	json_object *fits = make_safe("abcdefghijklmnop");
	EXPECT_EQ(compact(fits), "{}");
	json_object_put(fits);
	// 17 characters would be cut to a 39-character path naming another
	// file; that file must not be read.
	write_file("/tmp/olsrd-kavond-abcdefghijklmnopq.jso", R"({"wrong":1})");
	EXPECT_EQ(make_safe("abcdefghijklmnopq"), nullptr);
	EXPECT_EQ(make_safe(nullptr), nullptr);
}

TEST_F(CacheTest, TableHasTheThreeRowsInOrderEachReadingItsFile) {
	const char *names[] = {"nodeinfo", "statistics", "neighbours"};
	for (const char *name : names)
		write_file("/tmp/olsrd-kavond-" + std::string(name) + ".json",
		           std::string(R"({"doc":")") + name + "\"}");
	int rows = 0;
	for (const kavond_provider *p = kavond_providers; p->name != nullptr; p++, rows++) {
		ASSERT_LT(rows, 3);
		EXPECT_STREQ(p->name, names[rows]);
		json_object *doc = p->cb();
		EXPECT_EQ(compact(doc), std::string(R"({"doc":")") + names[rows] + "\"}");
		json_object_put(doc);
	}
	EXPECT_EQ(rows, 3);
	EXPECT_EQ(kavond_providers[3].cb, nullptr);
	unlink("/tmp/olsrd-kavond-statistics.json");
	EXPECT_EQ(kavond_providers[1].cb(), nullptr);
}

TEST_F(CacheTest, LoadableModuleExportsTheTable) {
	std::string module = std::string(TARVIK_BUILD_DIR) + "/providers/olsrd-kavond.so";
	void *handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
	ASSERT_NE(handle, nullptr) << dlerror();
	auto *table = static_cast<const kavond_provider *>(dlsym(handle, KAVOND_PROVIDERS_SYMBOL));
	ASSERT_NE(table, nullptr);
	EXPECT_STREQ(table[0].name, "nodeinfo");
	EXPECT_STREQ(table[1].name, "statistics");
	EXPECT_STREQ(table[2].name, "neighbours");
	EXPECT_EQ(table[3].name, nullptr);
	write_file("/tmp/olsrd-kavond-neighbours.json", R"({"batadv":{}})");
	json_object *doc = table[2].cb();
	EXPECT_EQ(compact(doc), R"({"batadv":{}})");
	json_object_put(doc);
	EXPECT_EQ(table[0].cb(), nullptr);
	// Nothing but the table is visible.
	EXPECT_EQ(dlsym(handle, "make_safe"), nullptr);
	EXPECT_EQ(dlsym(handle, "update_cache_file"), nullptr);
	dlclose(handle);
}

TEST_F(CacheTest, RefreshStoresAndReturnsTheCommandsDocument) {
	install_command(R"(echo '{"name":"'"$1"'","n":[1,2.5,null]}')");
	// A longer earlier content must not survive behind the new document.
	write_file("/tmp/olsrd-kavond-t.json", std::string(5000, ' ') + "{}");
	std::string err;
	json_object *doc = nullptr;
	err = capture_stderr([&] { doc = update_cache_file("/tmp/olsrd-kavond-t.json", "t", 0); });
	EXPECT_EQ(err, "");
	EXPECT_EQ(compact(doc), R"({"name":"t","n":[1,2.5,null]})");
	EXPECT_EQ(read_file("/tmp/olsrd-kavond-t.json"), compact(doc));
	EXPECT_EQ(command_runs(), 1);
	json_object *cached = make_safe("t");
	EXPECT_EQ(compact(cached), compact(doc));
	json_object_put(cached);
	json_object_put(doc);
}

TEST_F(CacheTest, UnwritablePathDependsOnTheFallbackFlag) {
	install_command(R"(echo '{"fresh":true}')");
	const char *path = "/run/no-such-dir/cache.json";
	json_object *doc = reinterpret_cast<json_object *>(0x1);
	std::string err = capture_stderr([&] { doc = update_cache_file(path, "n", 0); });
	EXPECT_EQ(err, "Failed to open /run/no-such-dir/cache.json: No such file or directory\n");
	EXPECT_EQ(doc, nullptr);
	EXPECT_EQ(command_runs(), 0) << "fallback 0: the command is not run";

	err = capture_stderr([&] { doc = update_cache_file(path, "n", 1); });
	EXPECT_EQ(err, "Failed to open /run/no-such-dir/cache.json: No such file or directory\n");
	EXPECT_EQ(compact(doc), R"({"fresh":true})");
	EXPECT_EQ(command_runs(), 1) << "fallback 1: run for the caller alone";
	json_object_put(doc);
}

TEST_F(CacheTest, CommandWithoutJsonLeavesTheFileAlone) {
	install_command("echo 'no json here'");
	write_file("/tmp/olsrd-kavond-t.json", R"({"old":1})");
	json_object *doc = reinterpret_cast<json_object *>(0x1);
	std::string err = capture_stderr([&] { doc = update_cache_file("/tmp/olsrd-kavond-t.json", "t", 0); });
	EXPECT_EQ(doc, nullptr);
	EXPECT_EQ(read_file("/tmp/olsrd-kavond-t.json"), R"({"old":1})");
	EXPECT_EQ(err, "");
}

TEST_F(CacheTest, CommandFailingAfterItsDocumentIsStoredAndReported) {
	install_command(R"(echo '{"partial":"but whole"}'; exit 3)");
	json_object *doc = nullptr;
	std::string err = capture_stderr([&] { doc = update_cache_file("/tmp/olsrd-kavond-t.json", "t", 0); });
	EXPECT_EQ(compact(doc), R"({"partial":"but whole"})");
	EXPECT_EQ(read_file("/tmp/olsrd-kavond-t.json"), R"({"partial":"but whole"})");
	EXPECT_EQ(err.rfind("Failed to pclose(fp): ", 0), 0u) << err;
	EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
	json_object_put(doc);
}

TEST_F(CacheTest, CommandThatWouldNotFitIsRefusedWithNothingRunOrWritten) {
	install_command(R"(echo '{}')");
	// "/usr/bin/olsr-kavond " leaves 18 characters for the name.
	std::string name(19, 'x');
	EXPECT_EQ(update_cache_file("/tmp/olsrd-kavond-t.json", name.c_str(), 1), nullptr);
	EXPECT_EQ(command_runs(), 0);
	struct stat st;
	EXPECT_NE(stat("/tmp/olsrd-kavond-t.json", &st), 0) << "not even created";
	json_object *doc = update_cache_file("/tmp/olsrd-kavond-t.json", std::string(18, 'x').c_str(), 0);
	EXPECT_EQ(compact(doc), "{}");
	json_object_put(doc);
}

TEST_F(CacheTest, RefreshWaitsForTheLockOfAnotherRefresh) {
	install_command(R"(echo '{"after":"lock"}')");
	int fd = open("/tmp/olsrd-kavond-t.json", O_WRONLY | O_CREAT, 0644);
	ASSERT_EQ(flock(fd, LOCK_EX), 0);
	pid_t child = fork();
	if (child == 0) {
		json_object *doc = update_cache_file("/tmp/olsrd-kavond-t.json", "t", 0);
		_exit(doc != nullptr ? 0 : 1);
	}
	usleep(300000);
	EXPECT_EQ(command_runs(), 0) << "the command must not start before the lock is had";
	EXPECT_EQ(waitpid(child, nullptr, WNOHANG), 0) << "still waiting for the lock";
	flock(fd, LOCK_UN);
	close(fd);
	int status = 0;
	ASSERT_EQ(waitpid(child, &status, 0), child);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
	EXPECT_EQ(read_file("/tmp/olsrd-kavond-t.json"), R"({"after":"lock"})");
}

// A child process running `fn`, which gives its exit status; waited for
// with a bound, and killed when it outlives it (true: it ended in time
// with status 0).
template <class F>
bool in_child_within(int timeout_ms, F fn) {
	pid_t pid = fork();
	if (pid == 0)
		_exit(fn());
	for (int waited = 0; waited < timeout_ms; waited += 10) {
		int status = 0;
		if (waitpid(pid, &status, WNOHANG) == pid)
			return WIFEXITED(status) && WEXITSTATUS(status) == 0;
		usleep(10000);
	}
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);
	return false;
}

// Refreshes of one name racing each other and readers of the provider
// table. Every refresh prints a document of the same length that names its
// writer on every row, so a reader that got the beginning of one document
// and the end of another would still parse it. Readers must get either
// nothing (before the first refresh has landed) or one writer's whole
// document, and never nothing again once they have had one; the refresh
// commands never run at the same time.
TEST_F(CacheTest, ConcurrentRefreshesAndReaders) {
	const char *stamps = "/run/olsr-kavond-stamps";
	const char *done = "/run/refreshes-done";
	const char *path = "/tmp/olsrd-kavond-neighbours.json";
	unlink(stamps);
	unlink(done);
	unlink(path);
	write_file(kCommand, std::string(R"(#!/usr/bin/env python3
import os, sys, time
def stamp(what):
    with open(")") + stamps + R"(", "a") as f:
        f.write("%s %d %d\n" % (what, os.getpid(), time.monotonic_ns()))
stamp("start")
me = "%010d" % os.getpid()
rows = ",".join('{"writer":"%s","i":%04d,"pad":"%s"}' % (me, i, "x" * 40) for i in range(3000))
time.sleep(0.05)
sys.stdout.write('{"writer":"%s","rows":[%s]}' % (me, rows))
sys.stdout.flush()
stamp("end")
)",
	           0755);

	// 0: a whole document of one writer; 1: a document that is not.
	auto mixed = [](json_object *doc) {
		const char *writer = json_object_get_string(json_object_object_get(doc, "writer"));
		json_object *rows = json_object_object_get(doc, "rows");
		if (writer == nullptr || json_object_array_length(rows) != 3000)
			return true;
		for (size_t i = 0; i < 3000; i++) {
			json_object *row = json_object_array_get_idx(rows, i);
			const char *w = json_object_get_string(json_object_object_get(row, "writer"));
			if (w == nullptr || strcmp(w, writer) != 0 ||
			    json_object_get_int(json_object_object_get(row, "i")) != static_cast<int>(i))
				return true;
		}
		return false;
	};
	const kavond_provider &row = kavond_providers[2];
	ASSERT_STREQ(row.name, "neighbours");

	// Reader exit status: 0 fine, 1 a mixed document, 2 nothing after a
	// document, 3 no document at the end.
	std::vector<pid_t> readers, writers;
	for (int r = 0; r < 3; r++) {
		pid_t pid = fork();
		if (pid == 0) {
			bool seen = false;
			for (;;) {
				bool last = access(done, F_OK) == 0;
				json_object *doc = row.cb();
				bool bad = doc != nullptr && mixed(doc);
				json_object_put(doc);
				if (bad)
					_exit(1);
				if (doc == nullptr && (seen || last))
					_exit(seen ? 2 : 3);
				seen = seen || doc != nullptr;
				if (last)
					_exit(0);
			}
		}
		readers.push_back(pid);
	}
	for (int w = 0; w < 6; w++) {
		pid_t pid = fork();
		if (pid == 0) {
			json_object *doc = update_cache_file(path, "neighbours", 0);
			bool ok = doc != nullptr && !mixed(doc);
			json_object_put(doc);
			_exit(ok ? 0 : 1);
		}
		writers.push_back(pid);
	}
	for (pid_t pid : writers) {
		int status = 0;
		ASSERT_EQ(waitpid(pid, &status, 0), pid);
		EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "refresh status " << status;
	}
	write_file(done, "");
	for (pid_t pid : readers) {
		int status = 0;
		ASSERT_EQ(waitpid(pid, &status, 0), pid);
		EXPECT_TRUE(WIFEXITED(status)) << status;
		EXPECT_NE(WEXITSTATUS(status), 1) << "a reader got a mixed document";
		EXPECT_NE(WEXITSTATUS(status), 2) << "a reader got nothing after the first refresh";
		EXPECT_NE(WEXITSTATUS(status), 3) << "a reader got nothing at the end";
	}

	// start/end stamps: each refresh's command ran alone.
	std::string log = read_file(stamps);
	std::vector<std::tuple<std::string, long, long long>> lines;
	size_t at = 0;
	while (at < log.size()) {
		size_t nl = log.find('\n', at);
		char what[8];
		long pid;
		long long t;
		ASSERT_EQ(sscanf(log.substr(at, nl - at).c_str(), "%7s %ld %lld", what, &pid, &t), 3);
		lines.emplace_back(what, pid, t);
		at = nl + 1;
	}
	ASSERT_EQ(lines.size(), 12u);
	for (size_t i = 0; i < lines.size(); i += 2) {
		EXPECT_EQ(std::get<0>(lines[i]), "start");
		EXPECT_EQ(std::get<0>(lines[i + 1]), "end");
		EXPECT_EQ(std::get<1>(lines[i]), std::get<1>(lines[i + 1])) << "a refresh interleaved";
	}
	// No new file of a refresh is left behind.
	EXPECT_EQ(run_command("ls /tmp | grep -c '^olsrd-kavond-neighbours.json.' || true"), "0\n");
}

// A symbolic link planted at a cache path (anyone may write /tmp) is never
// followed: the file it names is neither read nor written.
TEST_F(CacheTest, SymbolicLinkAtTheCachePathIsNotFollowed) {
	install_command(R"(echo '{"fresh":true}')");
	const char *path = "/tmp/olsrd-kavond-neighbours.json";
	write_file("/run/other.json", R"({"other":1})");
	ASSERT_EQ(symlink("/run/other.json", path), 0);

	EXPECT_EQ(kavond_providers[2].cb(), nullptr);

	json_object *doc = nullptr;
	std::string err = capture_stderr([&] { doc = update_cache_file(path, "neighbours", 0); });
	EXPECT_EQ(doc, nullptr);
	EXPECT_EQ(err, "Failed to open /tmp/olsrd-kavond-neighbours.json: Too many levels of symbolic "
	               "links\n");
	EXPECT_EQ(command_runs(), 0);
	err = capture_stderr([&] { doc = update_cache_file(path, "neighbours", 1); });
	EXPECT_EQ(compact(doc), R"({"fresh":true})") << "fallback: for the caller alone";
	json_object_put(doc);

	EXPECT_EQ(read_file("/run/other.json"), R"({"other":1})");
	struct stat st;
	ASSERT_EQ(lstat(path, &st), 0);
	EXPECT_TRUE(S_ISLNK(st.st_mode));
	unlink(path);
}

// A FIFO at a cache path would block whoever opens it until a writer
// comes: the responder's read and a refresh both give up at once instead.
TEST_F(CacheTest, FifoAtTheCachePathIsNeitherWaitedOnNorRead) {
	install_command(R"(echo '{"fresh":true}')");
	const char *path = "/tmp/olsrd-kavond-statistics.json";
	ASSERT_EQ(mkfifo(path, 0666), 0);
	EXPECT_TRUE(in_child_within(5000, [] { return kavond_providers[1].cb() == nullptr ? 0 : 1; }));
	EXPECT_TRUE(in_child_within(5000, [&] {
		json_object *doc = update_cache_file(path, "statistics", 0);
		return doc == nullptr ? 0 : 1;
	}));
	EXPECT_EQ(command_runs(), 0);
	unlink(path);
}

} // namespace
