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
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kavond_provider.h"
#include "cache.h"
#include "test_support.h"

using namespace kavond;
using namespace testing_support;

namespace {

const char *kCommand = "/usr/bin/olsr-kavond";
const char *kMarker = "/run/olsr-kavond-ran";
// The refresh lock of the name "t".
const char *kLockOfT = "/var/run/olsrd-kavond-t.lock";

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

TEST_F(CacheTest, CommandFailingAfterItsDocumentIsStoredAndReportedWithItsStatus) {
	install_command(R"(echo '{"partial":"but whole"}'; exit 3)");
	json_object *doc = nullptr;
	std::string err = capture_stderr([&] { doc = update_cache_file("/tmp/olsrd-kavond-t.json", "t", 0); });
	EXPECT_EQ(compact(doc), R"({"partial":"but whole"})");
	EXPECT_EQ(read_file("/tmp/olsrd-kavond-t.json"), R"({"partial":"but whole"})");
	// The command's own status, not the text of an errno nobody set.
	EXPECT_EQ(err, "olsr-kavond t: exited with status 3\n");
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
	int fd = open(kLockOfT, O_WRONLY | O_CREAT, 0600);
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

// ---- what another local user may place in /tmp -------------------------
//
// /tmp is everyone's; the reader and the refreshes run as root. Files are
// planted by the unprivileged user nobody, as a local user would.

// Runs `command` (shell) as nobody; it must succeed.
void as_nobody(const std::string &command) {
	must_run(std::string(kAsNobody) + "sh -c '" + command + "'");
}

double now_s() {
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A document of exactly `size` bytes: an object padded with spaces.
std::string document_of_size(size_t size) {
	std::string doc = R"({"big":true})";
	return doc + std::string(size - doc.size(), ' ');
}

TEST_F(CacheTest, ReaderServesNoDocumentOfAnotherUser) {
	const char *path = "/tmp/olsrd-kavond-n.json";
	// Before the first refresh the path is free: another user's document
	// there is not the node's.
	as_nobody(std::string("echo {\"spoofed\":true} > ") + path);
	EXPECT_EQ(make_safe("n"), nullptr);
	// Nor is root's own file once given away, or writable by others.
	write_file(path, R"({"ok":1})", 0644);
	json_object *doc = make_safe("n");
	EXPECT_EQ(compact(doc), R"({"ok":1})");
	json_object_put(doc);
	ASSERT_EQ(chown(path, 65534, 65534), 0);
	EXPECT_EQ(make_safe("n"), nullptr) << "owned by nobody";
	ASSERT_EQ(chown(path, 0, 0), 0);
	for (mode_t mode : {0664, 0646, 0666}) {
		ASSERT_EQ(chmod(path, mode), 0);
		EXPECT_EQ(make_safe("n"), nullptr) << std::oct << mode;
	}
	ASSERT_EQ(chmod(path, 0600), 0);
	doc = make_safe("n");
	EXPECT_EQ(compact(doc), R"({"ok":1})") << "0600";
	json_object_put(doc);
	// A second name of the file: a hard link is how a document of another
	// of root's files could be put at the path.
	ASSERT_EQ(link(path, "/tmp/second-name"), 0);
	EXPECT_EQ(make_safe("n"), nullptr) << "two links";
	unlink("/tmp/second-name");
	unlink(path);
}

TEST_F(CacheTest, ReaderReadsAtMostFourMiB) {
	const char *path = "/tmp/olsrd-kavond-n.json";
	// A sparse file of 1.5 GiB takes no space, but would take its size in
	// memory and seconds to parse.
	as_nobody(std::string("truncate -s 1536M ") + path);
	double start = now_s();
	EXPECT_EQ(make_safe("n"), nullptr);
	EXPECT_LT(now_s() - start, 0.5) << "refused at once";
	unlink(path);
	// The bound itself, on root's own files.
	write_file(path, document_of_size(4 << 20));
	json_object *doc = make_safe("n");
	EXPECT_EQ(compact(doc), R"({"big":true})") << "4 MiB exactly";
	json_object_put(doc);
	write_file(path, document_of_size((4 << 20) + 1));
	EXPECT_EQ(make_safe("n"), nullptr) << "one byte more";
	unlink(path);
}

// A refresh stores no document longer than the reader reads: the previous
// one stays.
TEST_F(CacheTest, RefreshStoresNoDocumentLongerThanTheReaderReads) {
	const char *path = "/tmp/olsrd-kavond-t.json";
	for (size_t size : {kCacheFileMax, kCacheFileMax + 1}) {
		bool fits = size <= kCacheFileMax;
		write_file(path, R"({"old":1})");
		// {"s":"xx...x"}: `size` bytes written compactly.
		install_command(R"(printf '{"s":"'; head -c )" + std::to_string(size - 8) +
		                R"( /dev/zero | tr '\0' x; printf '"}')");
		CacheRefresh result = CacheRefresh::UnderWay;
		std::string err = capture_stderr([&] { result = refresh_cache_file(path, "t"); });
		EXPECT_EQ(result, fits ? CacheRefresh::Stored : CacheRefresh::NotStored) << size;
		EXPECT_EQ(err, fits ? "" : "Not storing the document in " + std::string(path) +
		                               " (4194305 bytes): larger than 4 MiB\n");
		EXPECT_EQ(read_file(path).size(), fits ? size : 9u) << size;
	}
}

// A symbolic link, a FIFO or another user's file at a cache path is never
// opened by a refresh: the new document is renamed over it. A link's
// target stays as it was.
TEST_F(CacheTest, RefreshReplacesWhateverFileIsPlantedAtTheCachePath) {
	install_command(R"(echo '{"fresh":true}')");
	const char *path = "/tmp/olsrd-kavond-neighbours.json";
	write_file("/run/other.json", R"({"other":1})");
	const std::vector<std::pair<std::string, std::string>> planted = {
	    {"symbolic link", std::string("ln -s /run/other.json ") + path},
	    {"fifo", std::string("mkfifo -m 666 ") + path},
	    {"file of nobody's", std::string("echo {\"spoofed\":1} > ") + path},
	};
	for (const auto &[what, command] : planted) {
		SCOPED_TRACE(what);
		unlink(path);
		as_nobody(command);
		// The reader gives up at once.
		EXPECT_TRUE(in_child_within(5000, [] { return kavond_providers[2].cb() == nullptr ? 0 : 1; }));
		EXPECT_TRUE(in_child_within(5000, [&] {
			json_object *stored = update_cache_file(path, "neighbours", 0);
			bool fresh = compact(stored) == R"({"fresh":true})";
			json_object_put(stored);
			return fresh ? 0 : 1;
		}));
		struct stat st;
		ASSERT_EQ(lstat(path, &st), 0);
		ASSERT_TRUE(S_ISREG(st.st_mode)) << "replaced"; // else reading it could block
		EXPECT_EQ(st.st_uid, 0u);
		EXPECT_EQ(read_file(path), R"({"fresh":true})");
		json_object *doc = kavond_providers[2].cb();
		EXPECT_EQ(compact(doc), R"({"fresh":true})");
		json_object_put(doc);
	}
	EXPECT_EQ(read_file("/run/other.json"), R"({"other":1})");
	unlink(path);
}

// A directory of root's own at the cache path is an administrator's
// doing: it stays. (Another user's is moved aside: tests/e2e.)
TEST_F(CacheTest, DirectoryOfRootsOwnAtTheCachePathIsReportedAndNothingRuns) {
	install_command(R"(echo '{"fresh":true}')");
	const char *path = "/tmp/olsrd-kavond-t.json";
	ASSERT_EQ(mkdir(path, 0755), 0);
	json_object *doc = reinterpret_cast<json_object *>(0x1);
	std::string err = capture_stderr([&] { doc = update_cache_file(path, "t", 0); });
	EXPECT_EQ(doc, nullptr);
	EXPECT_EQ(err, "Failed to open /tmp/olsrd-kavond-t.json: Is a directory\n");
	CacheRefresh result = CacheRefresh::Stored;
	err = capture_stderr([&] { result = refresh_cache_file(path, "t"); });
	EXPECT_EQ(result, CacheRefresh::NotStored);
	EXPECT_EQ(err, "Failed to open /tmp/olsrd-kavond-t.json: Is a directory\n");
	EXPECT_EQ(command_runs(), 0);
	rmdir(path);
}

// ---- the refresh lock -------------------------------------------------

TEST_F(CacheTest, RefreshLockIsAFileOnlyRootCanOpenAndNotTheCacheFile) {
	install_command(R"(echo '{"fresh":true}')");
	const char *path = "/tmp/olsrd-kavond-t.json";
	write_file(path, R"({"old":1})");
	// Anyone may read the cache file, and so lock it: that holds off no
	// refresh.
	Process holder({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "flock", "-s",
	                path, "sleep", "60"});
	for (int status = 0, waited = 0;
	     run_command(std::string("flock -n -x ") + path + " true", &status), status == 0;
	     waited += 20) {
		ASSERT_LT(waited, 5000) << "nobody's lock was not taken";
		usleep(20000);
	}
	EXPECT_TRUE(in_child_within(5000, [&] {
		json_object *doc = update_cache_file(path, "t", 0);
		json_object_put(doc);
		return doc != nullptr ? 0 : 1;
	})) << "the waiting refresh";
	EXPECT_TRUE(in_child_within(5000, [&] {
		return refresh_cache_file(path, "t") == CacheRefresh::Stored ? 0 : 1;
	})) << "the refresh that does not wait";
	EXPECT_EQ(read_file(path), R"({"fresh":true})");
	holder.stop();

	struct stat st;
	ASSERT_EQ(lstat(kLockOfT, &st), 0);
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(st.st_mode & 07777, 0600u);
	EXPECT_EQ(st.st_uid, 0u);
	int status = 0;
	run_command(std::string(kAsNobody) + "flock -n " + kLockOfT + " true 2>/dev/null", &status);
	EXPECT_NE(status, 0) << "nobody could open the lock";
}

TEST_F(CacheTest, PeriodicRefreshStartsNothingWhileTheLockIsHeld) {
	install_command(R"(echo '{"fresh":true}')");
	const char *path = "/tmp/olsrd-kavond-t.json";
	write_file(path, R"({"old":1})");
	int fd = open(kLockOfT, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(flock(fd, LOCK_EX), 0);
	double start = now_s();
	CacheRefresh result = CacheRefresh::Stored;
	std::string err = capture_stderr([&] { result = refresh_cache_file(path, "t"); });
	EXPECT_EQ(result, CacheRefresh::UnderWay);
	EXPECT_LT(now_s() - start, 1.0);
	EXPECT_EQ(err, "");
	EXPECT_EQ(command_runs(), 0);
	close(fd);
	EXPECT_EQ(read_file(path), R"({"old":1})");
}

TEST_F(CacheTest, PeriodicRefreshStoresOnlyTheDocumentOfACommandThatSucceeded) {
	const char *path = "/tmp/olsrd-kavond-t.json";
	write_file(path, R"({"old":1})");
	install_command(R"(echo '{"fresh":true}'; exit 1)");
	CacheRefresh result = CacheRefresh::Stored;
	std::string err = capture_stderr([&] { result = refresh_cache_file(path, "t"); });
	EXPECT_EQ(result, CacheRefresh::NotStored);
	EXPECT_EQ(err, "olsr-kavond t: exited with status 1\n");
	EXPECT_EQ(read_file(path), R"({"old":1})");

	install_command("echo 'no json'");
	EXPECT_EQ(refresh_cache_file(path, "t"), CacheRefresh::NotStored);
	EXPECT_EQ(read_file(path), R"({"old":1})");

	install_command(R"(echo '{"fresh":true}')");
	EXPECT_EQ(refresh_cache_file(path, "t"), CacheRefresh::Stored);
	EXPECT_EQ(read_file(path), R"({"fresh":true})");
}

// The lock directory must be root's alone: whoever else may write it could
// put a file of theirs at the lock's name.
TEST_F(CacheTest, LockDirectoryThatOthersMayWriteIsRefused) {
	install_command(R"(echo '{"fresh":true}')");
	const char *path = "/tmp/olsrd-kavond-t.json";
	struct Restore {
		~Restore() {
			chmod("/var/run", 0755);
			chown("/var/run", 0, 0);
		}
	} restore;
	struct Case {
		const char *what;
		mode_t mode;
		uid_t owner;
		const char *why;
	};
	for (const Case &c : {Case{"writable by others", 01777, 0, "writable by group or others"},
	                      Case{"writable by group", 0775, 0, "writable by group or others"},
	                      Case{"owned by nobody", 0755, 65534, "not owned by root"}}) {
		SCOPED_TRACE(c.what);
		ASSERT_EQ(chown("/var/run", c.owner, 0), 0);
		ASSERT_EQ(chmod("/var/run", c.mode), 0);
		json_object *doc = reinterpret_cast<json_object *>(0x1);
		std::string err = capture_stderr([&] { doc = update_cache_file(path, "t", 0); });
		EXPECT_EQ(doc, nullptr);
		EXPECT_EQ(err, std::string("Failed to open /var/run/olsrd-kavond-t.lock: its directory "
		                           "/var/run is ") + c.why + "\n");
		CacheRefresh result = CacheRefresh::Stored;
		capture_stderr([&] { result = refresh_cache_file(path, "t"); });
		EXPECT_EQ(result, CacheRefresh::NotStored);
		EXPECT_EQ(command_runs(), 0);
	}
	// A symbolic link at the lock's name is not followed.
	chmod("/var/run", 0755);
	chown("/var/run", 0, 0);
	unlink(kLockOfT);
	ASSERT_EQ(symlink("/run/elsewhere.lock", kLockOfT), 0);
	std::string err = capture_stderr([&] { EXPECT_EQ(update_cache_file(path, "t", 0), nullptr); });
	EXPECT_EQ(err, "Failed to open /var/run/olsrd-kavond-t.lock: Too many levels of symbolic links\n");
	EXPECT_NE(access("/run/elsewhere.lock", F_OK), 0);
	unlink(kLockOfT);
}

// A full file system: the document is not stored, which a periodic
// refresh reports as such; the previous document stays, and no new file
// is left behind.
TEST_F(CacheTest, FullFileSystemKeepsThePreviousDocument) {
	const char *dir = "/run/small";
	mkdir(dir, 0755);
	ASSERT_EQ(mount("small", dir, "tmpfs", 0, "size=64k"), 0);
	struct Unmount {
		const char *dir;
		~Unmount() { umount(dir); }
	} unmount{dir};
	std::string path = std::string(dir) + "/cache.json";
	write_file(path, R"({"old":1})");
	run_command(std::string("dd if=/dev/zero of=") + dir + "/fill bs=4k 2>/dev/null");
	install_command(R"(echo '{"fresh":true}')");

	CacheRefresh result = CacheRefresh::Stored;
	std::string err = capture_stderr([&] { result = refresh_cache_file(path.c_str(), "t"); });
	EXPECT_EQ(result, CacheRefresh::NotStored);
	EXPECT_EQ(err.rfind("Failed to write JSON to /run/small/cache.json: ", 0), 0u) << err;
	EXPECT_NE(err.find("No space left on device"), std::string::npos) << err;
	json_object *doc = nullptr;
	capture_stderr([&] { doc = update_cache_file(path.c_str(), "t", 0); });
	EXPECT_EQ(compact(doc), R"({"fresh":true})") << "returned, though not stored";
	json_object_put(doc);
	EXPECT_EQ(read_file(path), R"({"old":1})");
	EXPECT_EQ(run_command(std::string("ls ") + dir), "cache.json\nfill\n");
}

} // namespace
