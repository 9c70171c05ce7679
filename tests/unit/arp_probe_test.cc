// The ARP probe on a real link: this namespace's end "a" (192.0.2.1) of a
// veth pair whose other end "b" (192.0.2.2, MAC 02:1A:11:F0:0A:0B) lives
// in the namespace "peer", where the kernel answers ARP requests and a
// script sends the foreign frames that the probe has to pass over.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "holders.h"
#include "arp.h"
#include "neighbour_tables.h"
#include "tarvik.h"
#include "test_support.h"

using testing_support::arp_entry;
using testing_support::must_run;
using testing_support::Process;
using testing_support::run_command;
using testing_support::source_path;
using tarvik::ArpListPtr;
using tarvik::JsonPtr;

namespace {

constexpr const char kPeerMac[] = "02:1a:11:f0:0a:0b";
constexpr const char kLive[] = "192.0.2.2";
constexpr const char kDead[] = "192.0.2.9";
// The bound on the start of the peer's frame sender.
constexpr int kSenderStartMs = 60000;
// The peer's frame senders send 1000 frames, one every 20 ms: 20 s, far
// longer than any probe here may last, so a wait that started over with
// each frame would outlast kProbeCeiling by many seconds. TearDown stops
// them.
constexpr int kSenderFrames = 1000;
// What a probe bounded at 1 s or less may seem to take at most: its bound,
// and room for a loaded machine (sanitizer build, other tests) to run the
// caller late.
constexpr double kProbeCeiling = 4.0;

double now_s() {
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

size_t length(const ArpEntry *list) {
	size_t n = 0;
	for (; list != nullptr; list = list->next)
		n++;
	return n;
}

class ArpProbe : public testing::Test {
protected:
	void SetUp() override {
		must_run("ip netns add peer");
		must_run("ip link add dev a type veth peer name b");
		must_run("ip link set dev b netns peer");
		must_run("ip -n peer link set dev b address 02:1A:11:F0:0A:0B");
		must_run("ip -n peer addr add 192.0.2.2/24 dev b");
		must_run("ip -n peer link set dev b up");
		must_run("ip addr add 192.0.2.1/24 dev a");
		must_run("ip link set dev a up");
		wait_for_carrier("a");
	}
	// Bounded wait for the carrier of a pair.
	static void wait_for_carrier(const std::string &local) {
		std::string path = "/sys/class/net/" + local + "/carrier";
		for (int i = 0; i < 200 && testing_support::read_file(path.c_str()) != "1\n"; i++)
			usleep(10000);
		ASSERT_EQ(testing_support::read_file(path.c_str()), "1\n");
	}
	void TearDown() override {
		sender_.stop();
		run_command("ip link del dev a 2>/dev/null; ip link del dev c 2>/dev/null; ip netns del peer 2>/dev/null");
	}

	// Starts sending frames of `kind` from the peer (see arp_frames.py),
	// and waits until the first of them has arrived here. The sender says
	// when its first frame is out: starting it (a namespace switch and a
	// Python interpreter) can take many seconds on a loaded machine, so
	// that wait has a generous bound, and the frame's arrival a short one.
	void start_sender(const std::string &kind, int count, int interval_ms,
	                  const std::string &sender_ip = "192.0.2.99") {
		int watch = watch_socket();
		int ready[2];
		ASSERT_EQ(pipe(ready), 0);
		sender_ = Process({"ip", "netns", "exec", "peer", "python3",
		                   source_path("tests/support/arp_frames.py"), "--ready-fd",
		                   std::to_string(ready[1]), "b", kind, std::to_string(count),
		                   std::to_string(interval_ms), sender_ip});
		close(ready[1]);
		pollfd signal = {ready[0], POLLIN, 0};
		char said[16] = "";
		bool started = poll(&signal, 1, kSenderStartMs) == 1 &&
		               read(ready[0], said, sizeof said - 1) > 0;
		close(ready[0]);
		ASSERT_TRUE(started) << "the peer's sender did not start within " << kSenderStartMs
		                     << " ms";
		ASSERT_STREQ(said, "ready\n");
		pollfd p = {watch, POLLIN, 0};
		ASSERT_EQ(poll(&p, 1, 5000), 1) << "no frame from the peer's sender";
		close(watch);
	}

	// A packet socket on "a" that sees every frame of `protocol` arriving
	// there; with ETH_P_ALL also the frames sent there (only sockets of
	// every protocol get those).
	static int watch_socket(int protocol = ETH_P_ARP) {
		int fd = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK, htons(protocol));
		sockaddr_ll local = {};
		local.sll_family = AF_PACKET;
		local.sll_protocol = htons(protocol);
		local.sll_ifindex = static_cast<int>(if_nametoindex("a"));
		EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
		return fd;
	}

	// The number of ARP frames sent on "a" that wait on an ETH_P_ALL watch.
	static int drain_outgoing_arp(int fd) {
		char buf[64];
		int n = 0;
		sockaddr_ll from = {};
		socklen_t size = sizeof from;
		while (recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &size) >= 0) {
			if (from.sll_pkttype == PACKET_OUTGOING && from.sll_protocol == htons(ETH_P_ARP))
				n++;
			size = sizeof from;
		}
		return n;
	}

	// The number of frames waiting on a watch socket.
	static int drain(int fd) {
		char buf[64];
		int n = 0;
		while (recv(fd, buf, sizeof buf, 0) >= 0)
			n++;
		return n;
	}

	Process sender_;
};

TEST_F(ArpProbe, TheNeighboursKernelAnswers) {
	double start = now_s();
	ArpEntry *e = test_arping("a", kLive);
	double took = now_s() - start;
	ASSERT_NE(e, nullptr);
	EXPECT_STREQ(e->mac, kPeerMac);
	EXPECT_STREQ(e->ip, kLive);
	EXPECT_STREQ(e->device, "a");
	EXPECT_EQ(e->next, nullptr);
	EXPECT_LT(took, 0.9); // the reply ended the wait, not the bound
	free(e);
}

TEST_F(ArpProbe, ResolveMacAppendsTheReplyAndFindsItAgainWithoutProbing) {
	ArpListPtr list(arp_entry("192.0.2.50", "02:00:00:00:00:50", "a"));
	char *mac = resolve_mac(list.get(), "a", kLive, 1);
	ASSERT_NE(mac, nullptr);
	EXPECT_STREQ(mac, kPeerMac);
	free(mac);
	ASSERT_EQ(length(list.get()), 2u);
	EXPECT_STREQ(list->next->ip, kLive);

	// With the peer's kernel silent, only the appended entry can answer,
	// and no request goes out on the link.
	must_run("ip netns exec peer sh -c 'echo 8 > /proc/sys/net/ipv4/conf/b/arp_ignore'");
	int watch = watch_socket(ETH_P_ALL);
	mac = resolve_mac(list.get(), "a", kLive, 1);
	ASSERT_NE(mac, nullptr);
	EXPECT_STREQ(mac, kPeerMac);
	free(mac);
	EXPECT_EQ(drain_outgoing_arp(watch), 0) << "an ARP request was sent";
	EXPECT_EQ(length(list.get()), 2u);
	// The watch does see a probe's request.
	EXPECT_EQ(tarvik::arp_probe("a", kLive, 100), nullptr);
	EXPECT_EQ(drain_outgoing_arp(watch), 1);
	close(watch);
}

TEST_F(ArpProbe, ADeadAddressEndsAtTheBound) {
	testing::internal::CaptureStdout();
	double start = now_s();
	ArpEntry *e = test_arping("a", kDead);
	double took = now_s() - start;
	EXPECT_EQ(testing::internal::GetCapturedStdout(), ""); // the bound is no message
	EXPECT_EQ(e, nullptr);
	EXPECT_GE(took, 0.95);
	EXPECT_LT(took, kProbeCeiling); // nothing comes: without its bound it never ends

	// And through resolve_mac: nothing appended.
	ArpListPtr list(arp_entry("192.0.2.50", "02:00:00:00:00:50", "a"));
	EXPECT_EQ(resolve_mac(list.get(), "a", kDead, 1), nullptr);
	EXPECT_EQ(length(list.get()), 1u);
}

TEST_F(ArpProbe, ForeignRequestsArePassedOverWithoutExtendingTheBound) {
	// Another host's requests every 20 ms for 20 s: a wait that started
	// over with each frame would last as long as they come.
	start_sender("request", kSenderFrames, 20);
	int watch = watch_socket();
	double start = now_s();
	ArpEntry *e = tarvik::arp_probe("a", kDead, 600);
	double took = now_s() - start;
	EXPECT_EQ(e, nullptr);
	EXPECT_GE(took, 0.55);
	EXPECT_LT(took, kProbeCeiling);
	EXPECT_GT(drain(watch), 10) << "the requests did not arrive during the probe";
	close(watch);

	// The reply of a live neighbour is still found among them.
	e = tarvik::arp_probe("a", kLive, 600);
	ASSERT_NE(e, nullptr);
	EXPECT_STREQ(e->mac, kPeerMac);
	free(e);
}

TEST_F(ArpProbe, ShortFramesThatLookLikeRepliesArePassedOver) {
	start_sender("short", kSenderFrames, 20);
	double start = now_s();
	ArpEntry *e = tarvik::arp_probe("a", kDead, 500);
	EXPECT_EQ(e, nullptr);
	EXPECT_LT(now_s() - start, kProbeCeiling);
}

TEST_F(ArpProbe, RepliesFromOtherHostsArePassedOverUntilTheBound) {
	// Another host's replies every 20 ms while nobody holds the address:
	// none of them ends the probe, extends its bound or enters the list.
	start_sender("reply", kSenderFrames, 20, "192.0.2.60");
	ArpListPtr list(arp_entry("192.0.2.50", "02:00:00:00:00:50", "a"));
	double start = now_s();
	EXPECT_EQ(resolve_mac(list.get(), "a", kDead, 1), nullptr);
	double took = now_s() - start;
	EXPECT_EQ(length(list.get()), 1u);
	EXPECT_GE(took, 0.95);
	EXPECT_LT(took, kProbeCeiling);
}

TEST_F(ArpProbe, AForeignReplyBeforeTheRightOneIsPassedOver) {
	// The peer's kernel stays silent; a script answers the probe's request
	// with three replies from another host, then with the true one.
	must_run("ip netns exec peer sh -c 'echo 8 > /proc/sys/net/ipv4/conf/b/arp_ignore'");
	start_sender("answer", 3, 20, "192.0.2.60");
	ArpListPtr list(arp_entry("192.0.2.50", "02:00:00:00:00:50", "a"));
	char *mac = resolve_mac(list.get(), "a", kLive, 1);
	ASSERT_NE(mac, nullptr);
	EXPECT_STREQ(mac, kPeerMac);
	free(mac);
	ASSERT_EQ(length(list.get()), 2u);
	EXPECT_STREQ(list->next->ip, kLive);
	EXPECT_STREQ(list->next->mac, kPeerMac);
}

TEST_F(ArpProbe, AReceiveErrorIsReportedAndTheWaitKeepsItsBound) {
	// Taking the link down sets an error on the bound probe socket, and no
	// frame comes after it. The probe's bound leaves the command that takes
	// the link down seconds to run on a loaded machine.
	Process down({"sh", "-c", "sleep 0.2; ip link set dev a down"});
	testing::internal::CaptureStderr();
	double start = now_s();
	ArpEntry *e = tarvik::arp_probe("a", kDead, 3000);
	double took = now_s() - start;
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(e, nullptr);
	EXPECT_NE(err.find("recvfrom(): Network is down\n"), std::string::npos) << err;
	EXPECT_GE(took, 2.95); // the error did not end the wait
	EXPECT_LT(took, 3.0 + kProbeCeiling);
}

TEST_F(ArpProbe, ProbeSocketsAreClosedOnEveryPath) {
	int before = testing_support::open_fd_count();
	free(test_arping("a", kLive));
	free(tarvik::arp_probe("a", kDead, 100));
	testing::internal::CaptureStdout();
	test_arping("nosuchdev0", kLive);
	testing::internal::GetCapturedStdout();
	EXPECT_EQ(testing_support::open_fd_count(), before);
}

// The links of one olsrd answer that the ARP list lacks are probed for
// together: twenty silent addresses, some listed twice, cost one wait,
// and the live neighbours among them, also on a second interface, are
// found as one probe after the other would find them.
TEST_F(ArpProbe, TheProbesOfOneTableShareOneWait) {
	must_run("ip link add dev c type veth peer name d && ip link set dev d netns peer && "
	         "ip -n peer link set dev d address 02:1A:11:F0:0C:0D && "
	         "ip -n peer addr add 198.51.100.2/24 dev d && ip -n peer link set dev d up && "
	         "ip addr add 198.51.100.1/24 dev c && ip link set dev c up");
	wait_for_carrier("c");
	auto link = [](const char *ifname, std::string ip) {
		return R"({"ifName":")" + std::string(ifname) + R"(","remoteIP":")" + ip + R"("},)";
	};
	std::string silent, again;
	for (int i = 0; i < 20; i++)
		(i < 8 ? again : silent) += link("a", "192.0.2." + std::to_string(100 + i));
	const struct {
		std::string links;
		std::vector<std::string> keys;
		int requests_on_a; // each address once
	} rows[] = {
	    {silent + again + link("a", kLive), {kPeerMac}, 21},
	    {link("a", "192.0.2.50") + silent + link("c", "198.51.100.2") + again + again +
	         link("a", kLive) + link("a", kLive) + again,
	     {"02:00:00:00:00:50", "02:1a:11:f0:0c:0d", kPeerMac}, 21},
	};
	for (const auto &row : rows) {
		std::string answer = R"({"links":[)" + row.links + "{}]}";
		JsonPtr parsed(json_tokener_parse(answer.c_str()));
		ArpListPtr arp(arp_entry("192.0.2.50", "02:00:00:00:00:50", "a"));
		int watch = watch_socket(ETH_P_ALL);
		double start = now_s();
		JsonPtr table(tarvik::olsr1_neigh_table(parsed.get(), arp.get(), 1));
		double took = now_s() - start;
		ASSERT_NE(table, nullptr) << row.links;
		std::vector<std::string> keys;
		json_object_object_foreach(table.get(), key, record) {
			keys.push_back(key);
			(void)record;
		}
		EXPECT_EQ(keys, row.keys) << row.links;
		EXPECT_STREQ(json_object_get_string(json_object_object_get(
		                 json_object_object_get(table.get(), kPeerMac), "ip")),
		             kLive);
		EXPECT_EQ(drain_outgoing_arp(watch), row.requests_on_a) << row.links;
		close(watch);
		EXPECT_GE(took, 0.95) << row.links; // the silent ones kept it waiting
		EXPECT_LT(took, kProbeCeiling) << row.links; // one probe each: 20 s and more
	}
}

TEST_F(ArpProbe, ADeviceWithoutIpv4AddressIsRefused) {
	must_run("ip addr flush dev a");
	testing::internal::CaptureStdout();
	testing::internal::CaptureStderr();
	EXPECT_EQ(test_arping("a", kLive), nullptr);
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
	          "get_if_info failed, interface a not found or no IP set?\n");
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "SIOCGIFADDR: Cannot assign requested address\n");
}

} // namespace
