// The HTTP fetch client through real sockets: a stand-in server on
// 127.0.0.1:9090 (sandboxed) provokes every result code.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client.h"
#include "fetch.h"
#include "json_helpers.h"
#include "tarvik.h"
#include "test_support.h"

using namespace testing_support;

namespace {

constexpr int kPort = 9090;
const std::string kBase = "http://127.0.0.1:9090/";
const char *kLog = "/run/fetch-test-requests.log";

// The caller's record: a QueryResult first (the completion steps read it
// through FetchRequest.result), then what the test observes.
struct Record {
	QueryResult qr;
	int reads = 0;           // data callbacks
	int completions = 0;     // completion callbacks
	std::vector<int> chunks; // chunk lengths seen before joining
};

Record *record_of(uclient *cl) {
	return static_cast<Record *>(static_cast<FetchRequest *>(cl->priv)->result);
}

void counting_read(uclient *cl) {
	Record *r = record_of(cl);
	r->reads++;
	get_all_data_process(cl, r->qr.body);
}

// Notes the chunk list, then joins like the raw completion step.
void inspecting_complete(uclient *cl) {
	Record *r = record_of(cl);
	r->completions++;
	for (BodyChunk *c = r->qr.body->head; c != nullptr; c = c->next)
		r->chunks.push_back(c->length);
	tarvik::finish_raw(cl);
}

void json_complete(uclient *cl) {
	record_of(cl)->completions++;
	tarvik::finish_json(cl);
}

struct Fetched {
	int rc;
	Record rec;
	std::string text() const {
		return rec.qr.value ? std::string(static_cast<char *>(rec.qr.value)) : std::string();
	}
};

// One get_url of `path` on the stand-in, raw form, with an expected
// length and a time-out.
Fetched fetch(const std::string &path, int expected = -1, int timeout_ms = 10000,
              fetch_callback complete = inspecting_complete) {
	Fetched f{};
	f.rec.qr.body = get_all_data_init();
	f.rc = tarvik::get_url_timeout((kBase + path).c_str(), counting_read, complete, &f.rec,
	                               expected, timeout_ms);
	tarvik::body_buffer_free(f.rec.qr.body);
	f.rec.qr.body = nullptr;
	return f;
}

void release(Fetched &f, bool json) {
	if (json)
		json_object_put(static_cast<json_object *>(f.rec.qr.value));
	else
		free(f.rec.qr.value);
	f.rec.qr.value = nullptr;
}

class FetchTest : public ::testing::Test {
protected:
	static void SetUpTestSuite() {
		unlink(kLog);
		server = new DaemonStandIn(kPort,
		                           R"({"version": {"version": {"version": "1"}},
		                               "over-long": {"$raw": "{\"a\":12345}", "$length": "10"}})",
		                           false, kLog);
	}
	static void TearDownTestSuite() {
		delete server;
		server = nullptr;
	}
	static DaemonStandIn *server;
};
DaemonStandIn *FetchTest::server = nullptr;

// The last request line the stand-in logged.
json_object *last_request() {
	std::string log = read_file(kLog);
	size_t end = log.find_last_not_of('\n');
	size_t start = log.rfind('\n', end);
	start = start == std::string::npos ? 0 : start + 1;
	return json_tokener_parse(log.substr(start, end - start + 1).c_str());
}

TEST_F(FetchTest, SendsTheEscapedPathVerbatimWithOnlyHostAndUserAgent) {
	Fetched f = fetch("no/such cmd?b%c");
	EXPECT_EQ(f.rc, FETCH_ERR_HTTP | 404); // unknown command: what matters is the request
	json_object *req = last_request();
	ASSERT_NE(req, nullptr);
	EXPECT_STREQ(json_object_get_string(json_object_object_get(req, "target")),
	             "/no%2Fsuch%20cmd%3Fb%25c");
	EXPECT_STREQ(json_object_get_string(json_object_object_get(req, "method")), "GET");
	EXPECT_STREQ(json_object_to_json_string_ext(json_object_object_get(req, "headers"), 0),
	             R"x([["Host","127.0.0.1:9090"],["User-Agent","tarvik (libuclient)"]])x");
	json_object_put(req);
	release(f, false);
}

TEST_F(FetchTest, Olsrd2CommandArrivesAsOneEscapedSegment) {
	DaemonStandIn olsrd2(1980, R"({"nhdpinfo jsonraw link": {"link": []}})", true, kLog);
	json_object *answer = nullptr;
	ASSERT_EQ(olsr2_get_nodeinfo("nhdpinfo jsonraw link", &answer), 0);
	EXPECT_STREQ(json_object_to_json_string_ext(answer, 0), R"({"link":[]})");
	json_object_put(answer);
	json_object *req = last_request();
	EXPECT_STREQ(json_object_get_string(json_object_object_get(req, "target")),
	             "/telnet%2Fnhdpinfo%20jsonraw%20link");
	json_object_put(req);
}

TEST_F(FetchTest, EmptyCommandRequestsTheRootPath) {
	json_object *answer = nullptr;
	EXPECT_EQ(olsr1_get_nodeinfo("", &answer), FETCH_ERR_HTTP | 404);
	json_object *req = last_request();
	EXPECT_STREQ(json_object_get_string(json_object_object_get(req, "target")), "/");
	json_object_put(req);
}

// A body of announced length is collected in one chunk; one without is
// collected in blocks of at most 1 MiB.
TEST_F(FetchTest, BodiesOfEveryFramingArriveWhole) {
	const int size = 3 * 1048576 + 17;
	for (std::string path : {"fault/big/", "fault/chunked/", "fault/close-delimited/"}) {
		SCOPED_TRACE(path);
		Fetched f = fetch(path + std::to_string(size));
		ASSERT_EQ(f.rc, 0);
		EXPECT_EQ(f.rec.completions, 1);
		EXPECT_GT(f.rec.reads, 0);
		EXPECT_EQ(f.rec.qr.length, size + 1);
		// What the stand-in sends, byte for byte.
		std::string sent = path == "fault/big/"
		                       ? "{" + std::string(size - 1, 'x')
		                       : R"({"pad":")" + std::string(size - 10, 'x') + R"("})";
		EXPECT_TRUE(f.text() == sent);
		if (path == "fault/big/") {
			EXPECT_EQ(f.rec.chunks, (std::vector<int>{size, 0}));
		}
		long sum = 0;
		for (int len : f.rec.chunks) {
			EXPECT_LE(len, path == "fault/big/" ? size : 1048576);
			sum += len;
		}
		EXPECT_EQ(sum, size);
		EXPECT_EQ(f.rec.chunks.back(), 0) << "the list ends with the empty chunk";
		release(f, false);
	}
}

TEST_F(FetchTest, HeaderStepStopsBeforeAnyBodyByteIsStored) {
	// Content-Length 12 against a caller's expected 5.
	Fetched f = fetch("fault/length/12/12", 5);
	EXPECT_EQ(f.rc, FETCH_ERR_SIZE);
	EXPECT_EQ(f.rec.reads, 0);
	EXPECT_EQ(f.rec.completions, 0);
	// A status other than 200 ends the request at the headers too.
	Fetched g = fetch("fault/status/404");
	EXPECT_EQ(g.rc, FETCH_ERR_HTTP | 404);
	EXPECT_EQ(g.rec.reads, 0);
	EXPECT_EQ(g.rec.completions, 0);
}

TEST_F(FetchTest, FollowsTenRedirectsButNotEleven) {
	for (std::string style : {"path", "abs", "rel"}) {
		SCOPED_TRACE(style);
		Fetched ten = fetch("fault/redirect/10/" + style);
		EXPECT_EQ(ten.rc, 0);
		EXPECT_EQ(ten.text(), R"({"redirected":true})");
		release(ten, false);
		Fetched eleven = fetch("fault/redirect/11/" + style);
		EXPECT_EQ(eleven.rc, FETCH_ERR_TOO_MANY_REDIRECTS);
		EXPECT_EQ(eleven.rec.completions, 0);
	}
	EXPECT_EQ(fetch("fault/redirect-loop").rc, FETCH_ERR_TOO_MANY_REDIRECTS);
}

TEST_F(FetchTest, RedirectStatusesAndLocations) {
	for (int status : {301, 302, 307}) {
		Fetched f = fetch("fault/redirect-status/" + std::to_string(status));
		EXPECT_EQ(f.rc, 0) << status;
		release(f, false);
	}
	// 303 is not followed: it is an HTTP error like any other status.
	EXPECT_EQ(fetch("fault/redirect-status/303").rc, FETCH_ERR_HTTP | 303);
	// A redirect without Location is a redirect answer that was not taken.
	EXPECT_EQ(fetch("fault/status/301").rc, FETCH_ERR_TOO_MANY_REDIRECTS);
	// A Location that cannot be followed.
	EXPECT_EQ(fetch("fault/redirect-to/ftp://127.0.0.1/x").rc, FETCH_ERR_REDIRECT);
	EXPECT_EQ(fetch("fault/redirect-to/http://127.0.0.1:99999/x").rc, FETCH_ERR_REDIRECT);
	// A Location that would add to the next request line.
	for (std::string location : {"/a b", "/a\tb", "/a\x01b", "/a\x7f"})
		EXPECT_EQ(fetch("fault/redirect-to/" + location).rc, FETCH_ERR_REDIRECT) << location;
	// A redirect to a port where nobody listens fails to connect.
	EXPECT_EQ(fetch("fault/redirect-to/http://127.0.0.1:9/x").rc, FETCH_ERR_CONNECT);
}

TEST_F(FetchTest, StatusesOtherThan200AreHttpErrors) {
	for (int status : {204, 404, 500, 201}) {
		Fetched f = fetch("fault/status/" + std::to_string(status));
		EXPECT_EQ(f.rc, FETCH_ERR_HTTP | status) << status;
		EXPECT_EQ(f.rec.completions, 0);
	}
}

TEST_F(FetchTest, BodyCutShortIsPrematureEof) {
	Fetched a = fetch("fault/short");
	EXPECT_EQ(a.rc, FETCH_ERR_PREMATURE_EOF);
	EXPECT_EQ(a.rec.completions, 0);
	Fetched b = fetch("fault/chunked-cut");
	EXPECT_EQ(b.rc, FETCH_ERR_PREMATURE_EOF);
	EXPECT_EQ(b.rec.completions, 0);
}

TEST_F(FetchTest, LengthChecks) {
	// The caller's expected length overrun while reading: 35 at once.
	Fetched over = fetch("fault/close-delimited/12", 10);
	EXPECT_EQ(over.rc, FETCH_ERR_SIZE);
	EXPECT_EQ(over.rec.completions, 0);
	// Shorter than expected but cleanly ended: 35 from the final check,
	// after the completion step ran.
	Fetched under = fetch("fault/close-delimited/8", 10);
	EXPECT_EQ(under.rc, FETCH_ERR_SIZE);
	EXPECT_EQ(under.rec.completions, 1);
	release(under, false);
	// Matching lengths.
	Fetched same = fetch("fault/length/10/10", 10);
	EXPECT_EQ(same.rc, 0);
	EXPECT_EQ(same.text().size(), 10u);
	release(same, false);
	// Bytes behind a body of announced length, received with it: 35,
	// and no completion step.
	Fetched lying = fetch("fault/length/10/12");
	EXPECT_EQ(lying.rc, FETCH_ERR_SIZE);
	EXPECT_EQ(lying.rec.completions, 0);
	// The same through a query: the first 10 bytes would be no JSON.
	json_object *answer = nullptr;
	EXPECT_EQ(olsr1_get_nodeinfo("over-long", &answer), FETCH_ERR_SIZE);
	EXPECT_EQ(answer, nullptr);
}

TEST_F(FetchTest, ContentLengthIsOneNumberWithinTheBodyBound) {
	// Not a number: the framing is broken, 34, nothing read.
	for (std::string value : {"abc", "12abc", "-5", "1 2", "+"}) {
		Fetched f = fetch("fault/length/" + value + "/12");
		EXPECT_EQ(f.rc, FETCH_ERR_PREMATURE_EOF) << value;
		EXPECT_EQ(f.rec.reads, 0) << value;
	}
	// Past the body bound (16 MiB), up to values past 2^64: refused with
	// 35 before any of the body is read.
	for (std::string value : {"16777217", "2147483648", "4294967296", "99999999999999999999999"}) {
		Fetched f = fetch("fault/length/" + value + "/12");
		EXPECT_EQ(f.rc, FETCH_ERR_SIZE) << value;
		EXPECT_EQ(f.rec.reads, 0) << value;
	}
	// Counted as their number.
	for (std::string value : {"+12", " 12", "12 "}) {
		EXPECT_EQ(fetch("fault/length/" + value + "/12", 10).rc, FETCH_ERR_SIZE) << value;
		Fetched f = fetch("fault/length/" + value + "/12", 12);
		EXPECT_EQ(f.rc, 0) << value;
		release(f, false);
	}
	// An empty value counts as 0: an empty body.
	Fetched empty = fetch("fault/length//0");
	EXPECT_EQ(empty.rc, 0);
	EXPECT_EQ(empty.rec.qr.length, 1);
	release(empty, false);
	EXPECT_EQ(fetch("fault/length//0", 3).rc, FETCH_ERR_SIZE);
	// Repeats of one value are one length; differing repeats are broken.
	Fetched same = fetch("fault/lengths/12,+12,012/12");
	EXPECT_EQ(same.rc, 0);
	EXPECT_EQ(same.text().size(), 12u);
	release(same, false);
	EXPECT_EQ(fetch("fault/lengths/12,10/12").rc, FETCH_ERR_PREMATURE_EOF);
	EXPECT_EQ(fetch("fault/lengths/12,abc/12").rc, FETCH_ERR_PREMATURE_EOF);
}

TEST_F(FetchTest, ConnectionRefusedAndTimeOut) {
	Fetched refused{};
	refused.rec.qr.body = get_all_data_init();
	refused.rc = tarvik::get_url_timeout("http://127.0.0.1:9/x", counting_read, inspecting_complete,
	                                     &refused.rec, -1, 1000);
	tarvik::body_buffer_free(refused.rec.qr.body);
	EXPECT_EQ(refused.rc, FETCH_ERR_CONNECT);

	Fetched hung = fetch("fault/hang", -1, 300);
	EXPECT_EQ(hung.rc, FETCH_ERR_TIMEOUT);
	EXPECT_EQ(hung.rec.completions, 0);
	// The time-out counts from the start of the request: a body that
	// keeps coming, a byte at a time, does not stretch it.
	Fetched trickle = fetch("fault/slow/12/100", -1, 500);
	EXPECT_EQ(trickle.rc, FETCH_ERR_TIMEOUT);
	EXPECT_EQ(trickle.rec.completions, 0);
	// A slow body that ends in time: 200 ms of sending within a bound that
	// leaves a loaded machine room to run the stand-in late.
	Fetched slow = fetch("fault/slow/4/50", -1, 5000);
	EXPECT_EQ(slow.rc, 0);
	release(slow, false);
}

TEST_F(FetchTest, RedirectKeepsTheDeadlineOfTheWholeRequest) {
	// A redirect after 500 ms to a body that takes 400 ms: each leg fits
	// in 800 ms, the two together do not.
	const std::string chain = "fault/slow-redirect/500//fault/slow/4/100";
	Fetched late = fetch(chain, -1, 800);
	EXPECT_EQ(late.rc, FETCH_ERR_TIMEOUT);
	EXPECT_EQ(late.rec.completions, 0);
	Fetched in_time = fetch(chain, -1, 5000);
	EXPECT_EQ(in_time.rc, 0);
	EXPECT_EQ(in_time.text().size(), 4u);
	release(in_time, false);
}

TEST_F(FetchTest, SetUpFailureRunsNoCallbackAndLeavesTheRecordAlone) {
	for (const char *url : {"ftp://127.0.0.1/x", "http://", "http://127.0.0.1:0/", "nonsense"}) {
		Record rec;
		rec.qr.length = 77;
		int rc = get_url(url, counting_read, inspecting_complete, &rec, -1);
		EXPECT_EQ(rc, FETCH_ERR_CONNECT) << url;
		EXPECT_EQ(rec.reads + rec.completions, 0) << url;
		EXPECT_EQ(rec.qr.length, 77) << url;
	}
}

TEST_F(FetchTest, JsonCompletion) {
	struct Case {
		const char *path;
		int error;
		bool value;
	} cases[] = {
	    {"version", 0, true},
	    {"fault/notjson", FETCH_ERR_NOT_JSON, false},
	    {"fault/empty", FETCH_ERR_NOT_JSON, false},
	    {"fault/blank-json", FETCH_ERR_NOT_JSON, false},
	    {"fault/array", FETCH_ERR_NOT_JSON, false},
	    {"fault/badjson", 0, false},
	};
	for (const Case &c : cases) {
		Fetched f = fetch(c.path, -1, 10000, json_complete);
		EXPECT_EQ(f.rc, 0) << c.path;
		EXPECT_EQ(f.rec.qr.error, c.error) << c.path;
		EXPECT_EQ(f.rec.qr.value != nullptr, c.value) << c.path;
		release(f, true);
	}
}

TEST_F(FetchTest, NoDescriptorOrLoopStaysBehind) {
	int before = open_fd_count();
	for (std::string path : {"fault/short", "fault/status/500", "fault/redirect/3/abs",
	                         "fault/length/10/12", "version"}) {
		Fetched f = fetch(path);
		release(f, false);
	}
	fetch("fault/hang", -1, 100);
	EXPECT_EQ(open_fd_count(), before);
}

// ---- failures that must name their reason, and never pass for success ----

// Reads body bytes as they come, unaccounted, noting how many arrived.
void unaccounted_read(uclient *cl) {
	char buf[64];
	int n;
	while ((n = tarvik::uclient_read(cl, buf, sizeof buf)) > 0)
		record_of(cl)->qr.length += n;
}

TEST_F(FetchTest, BrokenAnswersFailWithTheirReason) {
	struct Case {
		std::string path;
		int code;
		const char *reason;
	} cases[] = {
	    {"fault/raw/HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
	     FETCH_ERR_PREMATURE_EOF, "malformed chunk size"},
	    {"fault/raw/HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}xx",
	     FETCH_ERR_PREMATURE_EOF, "chunk data not followed by a line break"},
	    {"fault/raw/HTTP/1.1 2000 OK\r\n\r\n", FETCH_ERR_PREMATURE_EOF,
	     "malformed status line"},
	    {"fault/lengths/12,10/12", FETCH_ERR_PREMATURE_EOF, "two differing Content-Lengths"},
	    {"fault/length/1x/12", FETCH_ERR_PREMATURE_EOF, "Content-Length is not a number"},
	    {"fault/endless/headers", FETCH_ERR_PREMATURE_EOF, "head over 64 KiB"},
	    {"fault/short", FETCH_ERR_PREMATURE_EOF, "closed before the body ended"},
	    {"fault/endless/close", FETCH_ERR_SIZE, "body past 16 MiB"},
	    {"fault/length/10/12", FETCH_ERR_SIZE, "bytes after the body"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.path);
		Fetched f = fetch(c.path);
		EXPECT_EQ(f.rc, c.code);
		EXPECT_EQ(f.rec.completions, 0);
		EXPECT_EQ(std::string(uclient_get_errmsg(c.code)),
		          std::string(c.code == FETCH_ERR_SIZE ? "Incorrect file size: "
		                                               : "Connection reset prematurely: ") +
		              c.reason);
	}
	// Bytes behind a body of announced length are the client's to refuse:
	// a reader that counts nothing still never gets them as body.
	Fetched f{};
	f.rc = tarvik::get_url_timeout((kBase + "fault/length/10/12").c_str(), unaccounted_read,
	                               inspecting_complete, &f.rec, -1, 10000);
	EXPECT_EQ(f.rc, FETCH_ERR_SIZE);
	EXPECT_LE(f.rec.qr.length, 10);
}

// Makes poll(2) (every form of it) fail with ENOMEM in this process.
bool fail_every_poll() {
	static const int calls[] = {
#ifdef __NR_poll
	    __NR_poll,
#endif
#ifdef __NR_ppoll_time64
	    __NR_ppoll_time64,
#endif
	    __NR_ppoll};
	std::vector<sock_filter> prog = {
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
	for (int nr : calls) {
		prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(nr), 0, 1));
		prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOMEM));
	}
	prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
	sock_fprog fprog = {static_cast<unsigned short>(prog.size()), prog.data()};
	return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
	       prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0;
}

TEST_F(FetchTest, FailingWaitIsAnErrorAndLeavesTheAnswerAlone) {
	int out[2];
	ASSERT_EQ(pipe(out), 0);
	fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		int result[2] = {-1, -1}; // code; whether the answer was left alone
		if (fail_every_poll()) {
			json_object *const sentinel = reinterpret_cast<json_object *>(0x1);
			json_object *answer = sentinel;
			result[0] = olsr1_get_nodeinfo("version", &answer);
			result[1] = answer == sentinel;
		}
		_exit(write(out[1], result, sizeof result) == sizeof result ? 0 : 1);
	}
	close(out[1]);
	int result[2] = {-2, -2};
	ssize_t got = read(out[0], result, sizeof result);
	close(out[0]);
	waitpid(pid, nullptr, 0);
	ASSERT_EQ(got, static_cast<ssize_t>(sizeof result));
	if (result[0] == -1)
		GTEST_SKIP() << "no seccomp filter here (an emulator refuses them)";
	EXPECT_EQ(result[0], FETCH_ERR_CONNECT);
	EXPECT_EQ(result[1], 1);
}

// ---- servers that send without end ---------------------------------------

struct Endless {
	int rc = -1;
	bool answered = false; // the query handed back a value
	double seconds = -1;
	long growth_kib = -1; // peak RSS during the query, above the RSS before
};

// One olsrd query of `command` (with the library's own time-out) in a
// child process (see cost_in_child), whose address space may grow by
// only `room_mib` when that is given.
Endless query_in_child(const std::string &command, long room_mib = 0) {
	Endless e;
	ChildCost cost = cost_in_child(
	    [&] {
		    if (room_mib > 0) {
			    rlim_t limit = (status_kib("VmSize") + room_mib * 1024) * 1024;
			    rlimit as = {limit, limit};
			    setrlimit(RLIMIT_AS, &as);
		    }
		    json_object *answer = nullptr;
		    e.rc = olsr1_get_nodeinfo(command.c_str(), &answer);
		    e.answered = answer != nullptr;
		    json_object_put(answer);
	    },
	    &e, sizeof e);
	e.seconds = cost.seconds;
	e.growth_kib = cost.growth_kib;
	return e;
}

TEST_F(FetchTest, ServerThatSendsWithoutEndIsCutOffSoonWithBoundedMemory) {
	struct Case {
		const char *kind;
		int code;
	} cases[] = {
	    {"lengths", FETCH_ERR_PREMATURE_EOF}, // the header block bound
	    {"headers", FETCH_ERR_PREMATURE_EOF},
	    {"close", FETCH_ERR_SIZE}, // the body bound
	    {"chunks", FETCH_ERR_SIZE},
	    {"4g", FETCH_ERR_SIZE},    // refused at the head
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.kind);
		Endless e = query_in_child(std::string("fault/endless/") + c.kind);
		printf("endless %s: code %d after %.2f s, peak RSS +%ld KiB\n", c.kind, e.rc, e.seconds,
		       e.growth_kib);
		EXPECT_EQ(e.rc, c.code);
		EXPECT_GE(e.seconds, 0);
		EXPECT_LT(e.seconds, 15);
		EXPECT_GE(e.growth_kib, 0) << "peak RSS not measured";
		EXPECT_LT(e.growth_kib, 64 * 1024);
	}
}

// `{"links":[{},{},...]}` of `size` bytes costs json-c about 260 times
// that: what a parse may cost is bounded before parsing, so such an answer
// costs little more than its bytes, the largest body allowed included.
TEST_F(FetchTest, AnswerOfCountlessValuesIsRefusedBeforeParsingWithBoundedMemory) {
	for (int size : {1 << 20, 4 << 20, TARVIK_MAX_BODY_BYTES}) {
		SCOPED_TRACE(size);
		Endless e = query_in_child("fault/objects/" + std::to_string(size));
		printf("%d bytes of empty objects: code %d after %.2f s, peak RSS +%ld KiB\n", size, e.rc,
		       e.seconds, e.growth_kib);
		EXPECT_EQ(e.rc, FETCH_ERR_SIZE);
		EXPECT_EQ(e.answered, 0);
		EXPECT_GE(e.seconds, 0);
		EXPECT_LT(e.seconds, 15);
		EXPECT_GE(e.growth_kib, 0) << "peak RSS not measured";
		EXPECT_LT(e.growth_kib, 48 * 1024);
	}
}

// The budget to the value: the most empty objects whose estimate stays
// within it are parsed, one more is refused.
TEST_F(FetchTest, AnswerJustWithinTheParseBudgetIsParsed) {
	using tarvik::kParseCostItem;
	using tarvik::kParseCostObject;
	// {"links":[{},...,{}]}: the value at the top, the object, the array,
	// each empty object, and the comma before each but the first.
	auto cost_of = [](size_t objects) {
		return kParseCostItem + kParseCostObject + kParseCostItem + objects * kParseCostObject +
		       (objects - 1) * kParseCostItem;
	};
	size_t most = 1;
	while (cost_of(most + 1) <= TARVIK_MAX_PARSE_BYTES)
		most++;
	auto size_of = [](size_t objects) { return std::to_string(12 + 3 * objects - 1); };
	json_object *answer = nullptr;
	ASSERT_EQ(olsr1_get_nodeinfo(("fault/objects/" + size_of(most)).c_str(), &answer), 0);
	EXPECT_EQ(json_object_array_length(json_object_object_get(answer, "links")), most);
	json_object_put(answer);
	json_object *const sentinel = reinterpret_cast<json_object *>(0x1);
	answer = sentinel;
	EXPECT_EQ(olsr1_get_nodeinfo(("fault/objects/" + size_of(most + 1)).c_str(), &answer),
	          FETCH_ERR_SIZE);
	EXPECT_EQ(answer, sentinel);
}

TEST_F(FetchTest, BodyThatCannotBeHeldEndsTheRequestAtOnce) {
	if (getenv("TARVIK_SANITIZE") != nullptr || getenv("TARVIK_TEST_EMULATOR") != nullptr)
		GTEST_SKIP() << "the sanitizers and the emulator need address space of their own";
	// 16 MiB announced, 8 MiB of address space left: no room for it.
	Endless e = query_in_child("fault/big/" + std::to_string(TARVIK_MAX_BODY_BYTES), 8);
	EXPECT_EQ(e.rc, FETCH_ERR_SIZE);
	EXPECT_GE(e.seconds, 0);
	EXPECT_LT(e.seconds, 15);
}

TEST_F(FetchTest, CollectedBodyStopsAtTheBoundAndNotBefore) {
	// Exactly the bound, in each framing, is collected whole.
	for (std::string path : {"fault/big/", "fault/chunked/", "fault/close-delimited/"}) {
		SCOPED_TRACE(path);
		Fetched f = fetch(path + std::to_string(TARVIK_MAX_BODY_BYTES));
		EXPECT_EQ(f.rc, 0);
		EXPECT_EQ(f.rec.qr.length, TARVIK_MAX_BODY_BYTES + 1);
		release(f, false);
		// One byte more: ended in the read that crosses the bound (a
		// declared length is refused before reading).
		Fetched g = fetch(path + std::to_string(TARVIK_MAX_BODY_BYTES + 1));
		EXPECT_EQ(g.rc, FETCH_ERR_SIZE);
		EXPECT_EQ(g.rec.completions, 0);
	}
}

// ---- the daemon queries: results and the out-parameter rule -------------

TEST_F(FetchTest, QueriesWriteTheirOutParameterOnlyOnSuccess) {
	json_object *const sentinel = reinterpret_cast<json_object *>(0x1);
	json_object *answer = sentinel;
	EXPECT_EQ(olsr1_get_nodeinfo("fault/status/500", &answer), FETCH_ERR_HTTP | 500);
	EXPECT_EQ(answer, sentinel);
	EXPECT_EQ(olsr1_get_nodeinfo("fault/notjson", &answer), FETCH_ERR_NOT_JSON);
	EXPECT_EQ(answer, sentinel);
	EXPECT_EQ(olsr1_get_nodeinfo("fault/short", &answer), FETCH_ERR_PREMATURE_EOF);
	EXPECT_EQ(answer, sentinel);
	// Success with a text that opens with "{" but does not parse: NULL.
	EXPECT_EQ(olsr1_get_nodeinfo("fault/badjson", &answer), 0);
	EXPECT_EQ(answer, nullptr);
	answer = sentinel;
	ASSERT_EQ(olsr1_get_nodeinfo("version", &answer), 0);
	EXPECT_STREQ(json_object_to_json_string_ext(answer, 0), R"({"version":{"version":"1"}})");
	json_object_put(answer);

	// olsrd2 is not running: connection failed.
	answer = sentinel;
	EXPECT_EQ(olsr2_get_nodeinfo("nhdpinfo jsonraw link", &answer), FETCH_ERR_CONNECT);
	EXPECT_EQ(answer, sentinel);
	char *const text_sentinel = reinterpret_cast<char *>(0x1);
	char *text = text_sentinel;
	EXPECT_EQ(olsr2_get_nodeinfo_raw("x", &text), FETCH_ERR_CONNECT);
	EXPECT_EQ(text, text_sentinel);
}

TEST_F(FetchTest, RawFormHandsBackWhatTheJsonFormRefuses) {
	DaemonStandIn olsrd2(1980, R"({"a": {"$raw": "[1,2,3]"}, "b": {"$raw": "plain text"}})", true);
	for (const char *cmd : {"a", "b"}) {
		json_object *answer = nullptr;
		EXPECT_EQ(olsr2_get_nodeinfo(cmd, &answer), FETCH_ERR_NOT_JSON) << cmd;
		EXPECT_EQ(answer, nullptr);
	}
	char *text = nullptr;
	ASSERT_EQ(olsr2_get_nodeinfo_raw("a", &text), 0);
	EXPECT_STREQ(text, "[1,2,3]");
	free(text);
	ASSERT_EQ(olsr2_get_nodeinfo_raw("b", &text), 0);
	EXPECT_STREQ(text, "plain text");
	free(text);
}

// ---- texts, escaping and the body store (no sockets) ------------------

TEST(Escape, EscapesEverythingAfterTheThirdSlash) {
	struct Case {
		const char *in;
		const char *out;
	} cases[] = {
	    {"http://127.0.0.1:1980/telnet/nhdpinfo jsonraw link",
	     "http://127.0.0.1:1980/telnet%2Fnhdpinfo%20jsonraw%20link"},
	    {"http://127.0.0.1:9090/version", "http://127.0.0.1:9090/version"},
	    {"http://h/a:b?c%d~e_f.g-h", "http://h/a%3Ab%3Fc%25d~e_f.g-h"},
	    {"no slashes at all", "no slashes at all"},
	    {"two/slashes and/blank", "two/slashes and/blank"},
	    {"///x y", "///x%20y"},
	    {"http://h/\x80\xff\x7f", "http://h/%80%FF%7F"},
	};
	for (const Case &c : cases) {
		char *out = curl_easy_escape(c.in, 0);
		ASSERT_NE(out, nullptr) << c.in;
		EXPECT_STREQ(out, c.out) << c.in;
		free(out);
	}
}

TEST(Escape, LengthRules) {
	EXPECT_EQ(curl_easy_escape("http://x/y", -1), nullptr);
	char *empty = curl_easy_escape("", 0);
	ASSERT_NE(empty, nullptr);
	EXPECT_STREQ(empty, "");
	free(empty);
	// An explicit length takes that many bytes, NULs included.
	const char text[] = "a/b/c/d\0e f";
	char *out = curl_easy_escape(text, 9);
	ASSERT_NE(out, nullptr);
	EXPECT_STREQ(out, "a/b/c/d%00e");
	free(out);
	// 3 * length + 1 must not overflow: refused before anything is read.
	EXPECT_EQ(curl_easy_escape(nullptr, INT_MAX / 3 + 1), nullptr);
	EXPECT_EQ(curl_easy_escape(nullptr, INT_MAX), nullptr);
}

TEST(Escape, UnreservedCharactersAreExactlyThoseOfRfc3986) {
	const std::string unreserved =
	    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
	for (int c = 0; c < 256; c++)
		EXPECT_EQ(Curl_isunreserved(static_cast<unsigned char>(c)) != 0,
		          c != 0 && unreserved.find(static_cast<char>(c)) != std::string::npos)
		    << c;
}

TEST(ErrorTexts, EveryCodeHasItsText) {
	// The last request failed to start: its code's text says why.
	EXPECT_EQ(get_url("nonsense", counting_read, inspecting_complete, nullptr, -1), 1);
	EXPECT_STREQ(uclient_get_errmsg(1), "Connection failed: not an http URL");
	EXPECT_STREQ(uclient_get_errmsg(0), "Unknown error");
	EXPECT_STREQ(uclient_get_errmsg(2), "Connection timed out");
	EXPECT_STREQ(uclient_get_errmsg(32), "Failed to redirect");
	EXPECT_STREQ(uclient_get_errmsg(33), "Too many redirects");
	EXPECT_STREQ(uclient_get_errmsg(34), "Connection reset prematurely");
	EXPECT_STREQ(uclient_get_errmsg(35), "Incorrect file size");
	EXPECT_STREQ(uclient_get_errmsg(2048), "Response not json");
	EXPECT_STREQ(uclient_get_errmsg(3), "Unknown error");
	EXPECT_STREQ(uclient_get_errmsg(0x400 | 404), "HTTP error 404");
	// Cut at 15 characters, in one static buffer.
	EXPECT_STREQ(uclient_get_errmsg(0x400 | 123456), "HTTP error 1234");
	const char *first = uclient_get_errmsg(0x400 | 500);
	EXPECT_EQ(first, uclient_get_errmsg(0x400 | 501));
	EXPECT_STREQ(first, "HTTP error 501");
}

TEST(BodyBuffer, EmptyBodyJoinsToEmptyTextOfLengthOne) {
	BodyBuffer *body = get_all_data_init();
	ASSERT_NE(body, nullptr);
	EXPECT_EQ(body->head, body->tail);
	EXPECT_EQ(body->total, 0);
	char *text = nullptr;
	int length = 0;
	ASSERT_EQ(get_all_data_finalize(body, &text, &length), 0);
	EXPECT_STREQ(text, "");
	EXPECT_EQ(length, 1);
	free(text);
	// Joining twice is refused rather than reading released chunks.
	char *again = nullptr;
	EXPECT_NE(get_all_data_finalize(body, &again, &length), 0);
	EXPECT_EQ(again, nullptr);
	tarvik::body_buffer_free(body);
}

TEST(BodyBuffer, FailedBodyLeavesOutputsAndChunksAlone) {
	BodyBuffer *body = get_all_data_init();
	body->tail->data = static_cast<char *>(malloc(3));
	memcpy(body->tail->data, "abc", 3);
	body->tail->length = 3;
	body->tail->next = static_cast<BodyChunk *>(calloc(1, sizeof(BodyChunk)));
	body->tail = body->tail->next;
	body->total = 3;
	body->failed = 1;
	char *text = reinterpret_cast<char *>(0x1);
	int length = -7;
	EXPECT_NE(get_all_data_finalize(body, &text, &length), 0);
	EXPECT_EQ(text, reinterpret_cast<char *>(0x1));
	EXPECT_EQ(length, -7);
	EXPECT_EQ(body->head->length, 3);
	body->failed = 0;
	ASSERT_EQ(get_all_data_finalize(body, &text, &length), 0);
	EXPECT_STREQ(text, "abc");
	EXPECT_EQ(length, 4);
	free(text);
	tarvik::body_buffer_free(body);
}

} // namespace
