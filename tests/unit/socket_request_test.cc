// socket_request and socket_request_json against the stand-in zistad.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "socket_request.h"
#include "tarvik.h"
#include "test_support.h"

using testing_support::ChildCost;
using testing_support::cost_in_child;
using testing_support::FdLimit;
using testing_support::open_fd_count;
using testing_support::read_file;
using testing_support::ZistadStandIn;

namespace {

constexpr const char kZistad[] = "/var/run/zistad.sock";
constexpr const char kLog[] = "/run/zistad-test.log";

// Everything the peer sends on `fd` until it closes.
std::string read_all(int fd) {
	std::string out;
	char buf[8192];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		out.append(buf, static_cast<size_t>(n));
	return out;
}

// The whole answer to `request`, through the descriptor form.
std::string whole_answer(const char *path, const char *request) {
	int fd = socket_request(path, request, nullptr);
	if (fd < 0)
		return "socket_request failed: " + std::to_string(fd);
	std::string answer = read_all(fd);
	close(fd);
	return answer;
}

// A path of exactly `length` characters under /tmp, its directories made.
std::string path_of_length(size_t length) {
	std::string dir = "/tmp/" + std::string(60, 'd');
	mkdir(dir.c_str(), 0755);
	std::string path = dir + "/";
	path += std::string(length - path.size(), 's');
	return path;
}

// The longest a wait bounded at 300 ms may seem to take: late wake-ups on
// a loaded machine included, and below the default silence bound (3 s).
constexpr double kSilenceCeiling = 2.6;
static_assert(kSilenceCeiling * 1000 < tarvik::kSocketSilenceMs, "below the default bound");

double now_s() {
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

class SocketRequest : public ::testing::Test {
protected:
	void SetUp() override {
		unlink(kLog);
		fds_before_ = open_fd_count();
	}
	void ExpectNoDescriptorLeft() { EXPECT_EQ(open_fd_count(), fds_before_); }
	int fds_before_ = 0;
};

// ---- the exchange -------------------------------------------------------

TEST_F(SocketRequest, SendsTheRequestAsItStandsAndShutsDownTheWritingSide) {
	ZistadStandIn zistad("clients", kZistad, kLog);
	int fd = socket_request(kZistad, "get_clients", nullptr);
	ASSERT_GE(fd, 0);
	// The descriptor comes back with its writing side already shut down.
	EXPECT_EQ(send(fd, "x", 1, MSG_NOSIGNAL), -1);
	EXPECT_EQ(errno, EPIPE);
	json_object *answer = json_tokener_parse(read_all(fd).c_str());
	close(fd);
	ASSERT_NE(answer, nullptr);
	EXPECT_EQ(json_object_get_int(json_object_object_get(answer, "clients")), 2);
	json_object_put(answer);
	// No terminator, newline or length prefix reached the daemon, and the
	// daemon saw the end of the request.
	EXPECT_EQ(read_file(kLog), "{\"request\": \"get_clients\", \"complete\": true}\n");
	ExpectNoDescriptorLeft();
}

TEST_F(SocketRequest, EmptyRequestSendsNothingButStillEndsTheRequest) {
	ZistadStandIn zistad("clients", kZistad, kLog);
	EXPECT_EQ(whole_answer(kZistad, ""), "{\"error\":\"unknown request\"}");
	EXPECT_EQ(read_file(kLog), "{\"request\": \"\", \"complete\": true}\n");
	ExpectNoDescriptorLeft();
}

TEST_F(SocketRequest, JsonFormReadsTheWholeAnswerToTheEnd) {
	ZistadStandIn zistad("big:200000", kZistad);
	json_object *answer = socket_request_json(kZistad, "get_clients");
	ASSERT_NE(answer, nullptr);
	EXPECT_GE(json_object_get_string_len(json_object_object_get(answer, "padding")), 190000);
	EXPECT_EQ(json_object_get_int(json_object_object_get(answer, "clients")), 2);
	json_object_put(answer);
	ExpectNoDescriptorLeft();
}

TEST_F(SocketRequest, JsonFormGivesNullForAnswersThatAreNoJson) {
	for (const char *mode : {"notjson", "close"}) {
		SCOPED_TRACE(mode);
		ZistadStandIn zistad(mode, kZistad);
		EXPECT_EQ(socket_request_json(kZistad, "get_clients"), nullptr);
		ExpectNoDescriptorLeft();
	}
}

// ---- the buffered form -----------------------------------------------------

TEST_F(SocketRequest, BufferedFormKeepsTheFirst4096BytesOfALongAnswer) {
	ZistadStandIn zistad("big:10000", kZistad);
	std::string whole = whole_answer(kZistad, "get_clients");
	ASSERT_GT(whole.size(), 4096u);
	char *buffer = nullptr;
	ASSERT_EQ(socket_request(kZistad, "get_clients", &buffer), 0);
	ASSERT_NE(buffer, nullptr);
	EXPECT_EQ(std::string(buffer, 4096), whole.substr(0, 4096));
	free(buffer);
	ExpectNoDescriptorLeft();
}

TEST_F(SocketRequest, BufferedFormZeroesTheBytesPastAShortAnswer) {
	ZistadStandIn zistad("clients", kZistad);
	// Leave a freed block of the buffer's size full of non-zero bytes, so
	// that a buffer that is not cleared would show them.
	void *dirty = malloc(4096);
	memset(dirty, 0xA5, 4096);
	free(dirty);
	char *buffer = nullptr;
	ASSERT_EQ(socket_request(kZistad, "unknown", &buffer), 0);
	ASSERT_NE(buffer, nullptr);
	std::string answer = "{\"error\":\"unknown request\"}";
	EXPECT_EQ(std::string(buffer, answer.size()), answer);
	EXPECT_EQ(std::string(buffer + answer.size(), 4096 - answer.size()),
	          std::string(4096 - answer.size(), '\0'));
	free(buffer);
	ExpectNoDescriptorLeft();
}

// ---- the socket path ---------------------------------------------------------

TEST_F(SocketRequest, PathOf107CharactersIsAccepted) {
	std::string path = path_of_length(107);
	ZistadStandIn zistad("clients", path);
	json_object *answer = socket_request_json(path.c_str(), "get_clients");
	EXPECT_NE(answer, nullptr);
	json_object_put(answer);
	ExpectNoDescriptorLeft();
}

TEST_F(SocketRequest, LongerPathIsRefusedNotCutShort) {
	// A daemon listens at the first 107 characters of the 108-character
	// path: a path cut to fit would reach it.
	std::string path = path_of_length(108);
	std::string cut = path.substr(0, 107);
	ZistadStandIn zistad("clients", cut, kLog);
	char *buffer = nullptr;
	EXPECT_EQ(socket_request(path.c_str(), "get_clients", nullptr), -ENAMETOOLONG);
	EXPECT_EQ(socket_request(path.c_str(), "get_clients", &buffer), -ENAMETOOLONG);
	EXPECT_EQ(buffer, nullptr);
	EXPECT_EQ(socket_request_json(path.c_str(), "get_clients"), nullptr);
	std::string huge(5000, 'p');
	EXPECT_EQ(socket_request(("/tmp/" + huge).c_str(), "get_clients", nullptr), -ENAMETOOLONG);
	EXPECT_EQ(read_file(kLog), "");
	ExpectNoDescriptorLeft();
}

// ---- failures ----------------------------------------------------------

TEST_F(SocketRequest, NobodyListeningGivesConnectErrorAndClosesTheSocket) {
	char *buffer = nullptr;
	EXPECT_EQ(socket_request("/run/no-such.sock", "get_clients", nullptr), -ENOENT);
	EXPECT_EQ(socket_request("/run/no-such.sock", "get_clients", &buffer), -ENOENT);
	EXPECT_EQ(buffer, nullptr);
	EXPECT_EQ(socket_request_json(kZistad, "get_clients"), nullptr);

	// A socket file that nobody listens on.
	int bound = socket(AF_UNIX, SOCK_STREAM, 0);
	sockaddr_un addr{};
	addr.sun_family = AF_UNIX;
	strcpy(addr.sun_path, "/run/silent.sock");
	ASSERT_EQ(bind(bound, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
	int fds = open_fd_count();
	EXPECT_EQ(socket_request("/run/silent.sock", "get_clients", nullptr), -ECONNREFUSED);
	EXPECT_EQ(socket_request_json("/run/silent.sock", "get_clients"), nullptr);
	EXPECT_EQ(open_fd_count(), fds);
	close(bound);
	unlink("/run/silent.sock");
	ExpectNoDescriptorLeft();
}

TEST_F(SocketRequest, DaemonThatStopsReadingGivesEpipeWithoutKillingTheCaller) {
	ZistadStandIn zistad("shut-read", kZistad);
	// Run in a child: without MSG_NOSIGNAL the failed send raises SIGPIPE,
	// which ends the process. The request is larger than the socket can
	// hold, so sending cannot finish before the daemon stops reading.
	pid_t child = fork();
	ASSERT_GE(child, 0);
	if (child == 0) {
		signal(SIGPIPE, SIG_DFL); // it may come ignored from whoever runs the test
		std::string request(4 << 20, 'r');
		int before = open_fd_count();
		int rc = socket_request(kZistad, request.c_str(), nullptr);
		_exit(rc != -EPIPE ? 1 : open_fd_count() != before ? 2 : 0);
	}
	int status = 0;
	ASSERT_EQ(waitpid(child, &status, 0), child);
	ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
	EXPECT_EQ(WEXITSTATUS(status), 0) << "1: result not -EPIPE, 2: descriptor left open";
}

// ---- silence --------------------------------------------------------------

TEST_F(SocketRequest, ASilentDaemonIsGivenUpAfterTheBoundAtEveryWait) {
	using tarvik::socket_request_json_timeout;
	using tarvik::socket_request_timeout;
	constexpr int kBound = 300;
	// Each wait ends at the bound, not at once. The ceiling leaves a loaded
	// machine room to wake the caller late, but stays below the default
	// silence bound, so a wait that ignored the bound given still fails.
	auto expect_bounded = [](double started, const char *what) {
		double took = now_s() - started;
		EXPECT_GE(took, 0.28) << what;
		EXPECT_LT(took, kSilenceCeiling) << what;
	};
	ZistadStandIn zistad("silent", kZistad);

	char *buffer = nullptr;
	double start = now_s();
	EXPECT_EQ(socket_request_timeout(kZistad, "get_clients", &buffer, kBound), -ETIMEDOUT);
	expect_bounded(start, "first bytes of the answer");
	EXPECT_EQ(buffer, nullptr);

	start = now_s();
	EXPECT_EQ(socket_request_json_timeout(kZistad, "get_clients", kBound), nullptr);
	expect_bounded(start, "the whole answer");

	// The descriptor handed back keeps the bound for the caller's reads.
	int fd = socket_request_timeout(kZistad, "get_clients", nullptr, kBound);
	ASSERT_GE(fd, 0);
	char byte;
	start = now_s();
	EXPECT_EQ(read(fd, &byte, 1), -1);
	EXPECT_EQ(errno, EAGAIN);
	expect_bounded(start, "the caller's read");
	close(fd);

	// A request larger than the connection holds, never read.
	std::string request(4 << 20, 'r');
	start = now_s();
	EXPECT_EQ(socket_request_timeout(kZistad, request.c_str(), nullptr, kBound), -ETIMEDOUT);
	expect_bounded(start, "sending");
	ExpectNoDescriptorLeft();
}

TEST_F(SocketRequest, ADaemonThatDoesNotAcceptIsGivenUpAfterTheBound) {
	// A backlog of 0 takes one connection; the next connect waits.
	int listening = socket(AF_UNIX, SOCK_STREAM, 0);
	sockaddr_un addr{};
	addr.sun_family = AF_UNIX;
	strcpy(addr.sun_path, "/run/full.sock");
	ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
	ASSERT_EQ(listen(listening, 0), 0);
	int first = tarvik::socket_request_timeout("/run/full.sock", "x", nullptr, 300);
	ASSERT_GE(first, 0);
	double start = now_s();
	EXPECT_EQ(tarvik::socket_request_timeout("/run/full.sock", "x", nullptr, 300), -ETIMEDOUT);
	double took = now_s() - start;
	EXPECT_GE(took, 0.28);
	EXPECT_LT(took, kSilenceCeiling);
	close(first);
	close(listening);
	unlink("/run/full.sock");
	ExpectNoDescriptorLeft();
}

// ---- peers that trickle or flood ---------------------------------------
//
// Whoever listens on a daemon's socket (here the unprivileged user nobody,
// on a socket of its own) can answer as it likes.

constexpr const char kPeer[] = "/tmp/peer.sock";
constexpr const char kPeerLog[] = "/tmp/peer.log";

TEST_F(SocketRequest, APeerThatTricklesIsGivenUpWhenTheExchangeTimeIsOver) {
	// A byte every 0.5 s never lets a 3 s silence pass, even when a loaded
	// machine runs the peer late; it goes on for 60 s. Ending before 10 s
	// would be the silence bound, a ceiling far below 60 s shows that the
	// exchange bound ended it (a late wake-up of the caller is no fault).
	ZistadStandIn peer("trickle:0.5", kPeer, "", testing_support::RunAs::Nobody);
	double start = now_s();
	EXPECT_EQ(socket_request_json(kPeer, "get_clients"), nullptr);
	double took = now_s() - start;
	EXPECT_GE(took, 9.9);
	EXPECT_LT(took, 30.0);

	// The same with shorter bounds, and the reason.
	int error = 0;
	start = now_s();
	{
		ZistadStandIn quick("trickle:0.1", "/tmp/quick.sock", "", testing_support::RunAs::Nobody);
		EXPECT_EQ(tarvik::socket_request_json_timeout("/tmp/quick.sock", "get_clients", 300, 800,
		                                              tarvik::kSocketAnswerMax, &error),
		          nullptr);
	}
	EXPECT_EQ(error, -ETIMEDOUT);
	ExpectNoDescriptorLeft();
}

TEST_F(SocketRequest, APeerThatFloodsIsCutOffAtTheAnswerBound) {
	unlink(kPeerLog);
	{
		ZistadStandIn peer("flood", kPeer, kPeerLog, testing_support::RunAs::Nobody);
		// Cut off by the answer bound (what the peer got through, below),
		// before the exchange bound (10 s) could end it; the rest of the
		// ceiling is room for a loaded machine.
		double start = now_s();
		EXPECT_EQ(socket_request_json(kPeer, "get_clients"), nullptr);
		EXPECT_LT(now_s() - start, 9.5);
		// The peer logs what it got through once the caller stops reading.
		for (int waited = 0; read_file(kPeerLog).find("sent") == std::string::npos; waited += 20) {
			ASSERT_LT(waited, 30000) << "the peer never stopped sending";
			usleep(20000);
		}
	}
	std::string log = read_file(kPeerLog);
	size_t at = log.find("\"sent\": ");
	ASSERT_NE(at, std::string::npos) << log;
	long long sent = atoll(log.c_str() + at + 8);
	// 4 MiB read, and what the socket buffers held on top.
	EXPECT_GT(sent, 4 << 20);
	EXPECT_LT(sent, 6 << 20) << "the caller read on past the bound";
	ExpectNoDescriptorLeft();
}

TEST_F(SocketRequest, AnAnswerOfTheBoundIsReadOneByteMoreIsRefused) {
	ZistadStandIn zistad("big:50000", kZistad);
	int error = 1;
	json_object *answer = tarvik::socket_request_json_timeout(kZistad, "get_clients", 3000, 10000,
	                                                          50000, &error);
	EXPECT_NE(answer, nullptr);
	EXPECT_EQ(error, 0);
	json_object_put(answer);
	EXPECT_EQ(tarvik::socket_request_json_timeout(kZistad, "get_clients", 3000, 10000, 49999,
	                                              &error),
	          nullptr);
	EXPECT_EQ(error, -EMSGSIZE);
	ExpectNoDescriptorLeft();
}

TEST_F(SocketRequest, AnAnswerOfCountlessValuesIsRefusedBeforeParsingWithBoundedMemory) {
	// [{},{},...] of the longest answer read: parsed, it would cost json-c
	// about a GB.
	ZistadStandIn zistad("objects:" + std::to_string(tarvik::kSocketAnswerMax), kZistad);
	struct {
		int error = 1;
		bool answered = true;
	} r;
	ChildCost cost = cost_in_child(
	    [&] {
		    json_object *answer = tarvik::socket_request_json_timeout(
		        kZistad, "get_clients", tarvik::kSocketSilenceMs, tarvik::kSocketExchangeMs,
		        tarvik::kSocketAnswerMax, &r.error);
		    r.answered = answer != nullptr;
		    json_object_put(answer);
	    },
	    &r, sizeof r);
	printf("%zu bytes of empty objects: error %d after %.2f s, peak RSS +%ld KiB\n",
	       tarvik::kSocketAnswerMax, r.error, cost.seconds, cost.growth_kib);
	EXPECT_EQ(r.error, -EMSGSIZE);
	EXPECT_FALSE(r.answered);
	EXPECT_GE(cost.growth_kib, 0) << "peak RSS not measured";
	EXPECT_LT(cost.growth_kib, 48 * 1024);
}

TEST_F(SocketRequest, NoDescriptorLeftGivesEmfile) {
	ZistadStandIn zistad("clients", kZistad);
	char *buffer = nullptr;
	{
		FdLimit limit;
		EXPECT_EQ(socket_request(kZistad, "get_clients", nullptr), -EMFILE);
		EXPECT_EQ(socket_request(kZistad, "get_clients", &buffer), -EMFILE);
		EXPECT_EQ(socket_request_json(kZistad, "get_clients"), nullptr);
	}
	EXPECT_EQ(buffer, nullptr);
	ExpectNoDescriptorLeft();
}

} // namespace
