// MAC resolution without the network: the ARP table text, lookups in a
// list, the exact frame and address layouts, frames fed to read_arp
// through a datagram socket pair, and the refusals that come before a
// probe touches an interface.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "holders.h"
#include "arp.h"
#include "tarvik.h"
#include "test_support.h"

using tarvik::ArpListPtr;
using testing_support::arp_entry;

namespace {

const char kHeader[] =
    "IP address       HW type     Flags       HW address            Mask     Device\n";

ArpEntry *parse_text(const std::string &text) {
	FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
	EXPECT_NE(f, nullptr);
	ArpEntry *list = tarvik::parse_arp_table(f);
	fclose(f);
	return list;
}

std::vector<const ArpEntry *> entries(const ArpEntry *list) {
	std::vector<const ArpEntry *> out;
	for (; list != nullptr; list = list->next)
		out.push_back(list);
	return out;
}

std::string resolved(ArpEntry *list, const char *device, const char *ip) {
	char *mac = resolve_mac(list, device, ip, 0);
	std::string out = mac ? mac : "<none>";
	free(mac);
	return out;
}

// The address that the replies here answer (the probing interface's).
const char kOurs[] = "10.0.0.1";

uint32_t address(const char *ip) {
	in_addr a;
	inet_aton(ip, &a);
	return a.s_addr;
}

// A reply frame with the given sender, to kOurs, as the kernel of a
// neighbour sends it.
std::vector<uint8_t> reply_frame(const uint8_t mac[6], const char *ip, uint16_t op = 2,
                                 uint16_t ethertype = 0x0806) {
	std::vector<uint8_t> f(42, 0);
	memset(f.data(), 0xff, 6);
	f[12] = ethertype >> 8;
	f[13] = ethertype & 0xff;
	f[14] = 0; f[15] = 1; f[16] = 0x08; f[17] = 0; f[18] = 6; f[19] = 4;
	f[20] = op >> 8;
	f[21] = op & 0xff;
	memcpy(&f[22], mac, 6);
	uint32_t sender = address(ip), target = address(kOurs);
	memcpy(&f[28], &sender, 4);
	memcpy(&f[38], &target, 4);
	return f;
}

// `f` with `bytes` written from offset `at` on.
std::vector<uint8_t> patched(std::vector<uint8_t> f, size_t at, std::vector<uint8_t> bytes) {
	std::copy(bytes.begin(), bytes.end(), f.begin() + at);
	return f;
}

const uint8_t kMac[6] = {0x02, 0x1A, 0x11, 0xF0, 0x0A, 0x0B};

// An entry whose fields show whether anything wrote them.
ArpEntry marked_entry() {
	ArpEntry e;
	memset(&e, 0, sizeof e);
	strcpy(e.ip, "untouched-ip");
	strcpy(e.mac, "untouched-mac");
	strcpy(e.device, "dev0");
	e.next = &e;
	return e;
}

} // namespace

// ---- /proc/net/arp text ------------------------------------------------

TEST(ArpTable, HeaderOnlyOrEmptyGivesNoList) {
	EXPECT_EQ(parse_text(kHeader), nullptr);
	EXPECT_EQ(parse_text(""), nullptr);
}

TEST(ArpTable, RowsComeOutInFileOrderWithTheirColumns) {
	ArpListPtr list(parse_text(std::string(kHeader) +
	                           "10.0.0.3         0x1         0x2         02:00:00:00:00:03     *        mesh0\n"
	                           "10.0.0.1         0x1         0x2         02:00:00:00:00:01     *        mesh1\n"
	                           "10.0.0.2         0x1         0x0         00:00:00:00:00:00     *        mesh0\n"));
	auto all = entries(list.get());
	ASSERT_EQ(all.size(), 3u);
	EXPECT_STREQ(all[0]->ip, "10.0.0.3");
	EXPECT_STREQ(all[0]->mac, "02:00:00:00:00:03");
	EXPECT_STREQ(all[0]->device, "mesh0");
	EXPECT_STREQ(all[1]->ip, "10.0.0.1");
	EXPECT_STREQ(all[1]->device, "mesh1");
	// An incomplete kernel entry is kept like any other (no filtering by
	// flags), but answers no lookup: its address is no neighbour's.
	EXPECT_STREQ(all[2]->mac, "00:00:00:00:00:00");
	EXPECT_EQ(all[2]->next, nullptr);
	EXPECT_EQ(resolved(list.get(), "mesh0", "10.0.0.2"), "<none>");
}

TEST(ArpTable, StopsAtARowThatDoesNotParse) {
	ArpListPtr list(parse_text(std::string(kHeader) +
	                           "10.0.0.1 0x1 0x2 02:00:00:00:00:01 * mesh0\n"
	                           "10.0.0.9 0x1\n"));
	auto all = entries(list.get());
	ASSERT_EQ(all.size(), 1u);
	EXPECT_STREQ(all[0]->ip, "10.0.0.1");
}

TEST(ArpTable, OverlongFieldsAreCutToTheirBuffers) {
	std::string huge(3000, 'x');
	ArpListPtr list(parse_text(std::string(kHeader) + huge + " 0x1 0x2 " + huge + " * " + huge +
	                           "\n"));
	ASSERT_NE(list, nullptr);
	EXPECT_EQ(strlen(list->ip), 1023u);
}

TEST(ArpTable, ReadArpCacheReadsTheKernelTable) {
	// The sandbox's own network namespace, with a permanent entry on a
	// device that has ARP (one end of a veth pair).
	ASSERT_EQ(system("ip link add arpv0 type veth peer name arpv1 && ip link set arpv0 up && "
	                 "ip neigh add 192.0.2.5 lladdr 02:00:00:00:00:05 dev arpv0 nud permanent"),
	          0);
	ArpListPtr list(read_arp_cache());
	EXPECT_EQ(resolved(list.get(), "arpv0", "192.0.2.5"), "02:00:00:00:00:05");
	EXPECT_EQ(system("ip link del arpv0"), 0);
}

// ---- lookups -------------------------------------------------------------

TEST(ResolveMac, MatchesExactIpTextAndDevice) {
	ArpListPtr list(arp_entry("10.0.0.1", "02:00:00:00:00:01", "mesh0"));
	list->next = arp_entry("10.0.0.1", "02:00:00:00:00:11", "mesh1");
	EXPECT_EQ(resolved(list.get(), "mesh1", "10.0.0.1"), "02:00:00:00:00:11");
	EXPECT_EQ(resolved(list.get(), "mesh0", "10.0.0.1"), "02:00:00:00:00:01");
	EXPECT_EQ(resolved(list.get(), "mesh2", "10.0.0.1"), "<none>");
	// Text, not address, comparison.
	EXPECT_EQ(resolved(list.get(), "mesh0", "010.0.0.1"), "<none>");
	EXPECT_EQ(resolved(list.get(), "mesh0", "10.0.0.1 "), "<none>");
}

TEST(ResolveMac, ReturnsAFullSizeCopyTheCallerOwns) {
	ArpListPtr list(arp_entry("10.0.0.1", "02:00:00:00:00:01", "mesh0"));
	char *mac = resolve_mac(list.get(), "mesh0", "10.0.0.1", 0);
	ASSERT_NE(mac, nullptr);
	EXPECT_NE(mac, list->mac);
	memset(mac, 'z', 1023); // the whole 1024-byte buffer is the caller's
	EXPECT_STREQ(list->mac, "02:00:00:00:00:01");
	free(mac);
}

TEST(ResolveMac, WithoutProbingTheListStaysAsItIs) {
	ArpListPtr list(arp_entry("10.0.0.1", "02:00:00:00:00:01", "mesh0"));
	EXPECT_EQ(resolve_mac(list.get(), "mesh0", "10.0.0.2", 0), nullptr);
	EXPECT_EQ(list->next, nullptr);
	EXPECT_EQ(resolve_mac(nullptr, "mesh0", "10.0.0.2", 1), nullptr); // empty list: no probe
}

TEST(ResolveMac, AFailedProbeAppendsNothing) {
	ArpListPtr list(arp_entry("10.0.0.1", "02:00:00:00:00:01", "mesh0"));
	testing::internal::CaptureStdout();
	EXPECT_EQ(resolve_mac(list.get(), "mesh0", "0.0.0.0", 1), nullptr);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid source IP\n\n");
	EXPECT_EQ(list->next, nullptr);
}

// ---- frames --------------------------------------------------------------

TEST(ArpFrame, ReplyFillsSenderMacInLowerCaseAndSenderIp) {
	auto f = reply_frame(kMac, "10.0.0.7");
	ArpEntry e = marked_entry();
	ASSERT_EQ(tarvik::arp_reply_from_frame(f.data(), f.size(), address(kOurs), &e), 0);
	EXPECT_STREQ(e.mac, "02:1a:11:f0:0a:0b");
	EXPECT_STREQ(e.ip, "10.0.0.7");
	EXPECT_STREQ(e.device, "dev0");
	EXPECT_EQ(e.next, &e);
}

TEST(ArpFrame, RequestsOtherTypesShortFramesAndStrayRepliesAreNoReply) {
	const auto good = reply_frame(kMac, "10.0.0.7");
	struct Case {
		const char *what;
		std::vector<uint8_t> frame;
	} cases[] = {
	    {"request", reply_frame(kMac, "10.0.0.7", 1)},
	    {"IPv4 frame", reply_frame(kMac, "10.0.0.7", 2, 0x0800)},
	    {"41 bytes", good},
	    {"22 bytes", good},
	    {"nothing", {}},
	    {"hardware type 0xffff", patched(good, 14, {0xff, 0xff})},
	    {"protocol IPv6", patched(good, 16, {0x86, 0xdd})},
	    {"address lengths 0/0", patched(good, 18, {0, 0})},
	    {"address lengths 6/16", patched(good, 19, {16})},
	    {"for another host", patched(good, 38, {10, 0, 0, 2})},
	    {"broadcast sender", patched(good, 22, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff})},
	    {"multicast sender", patched(good, 22, {0x01, 0x00, 0x5e})},
	    {"zero sender", patched(good, 22, {0, 0, 0, 0, 0, 0})},
	};
	cases[2].frame.resize(41);
	cases[3].frame.resize(22);
	for (auto &c : cases) {
		ArpEntry e = marked_entry();
		EXPECT_EQ(tarvik::arp_reply_from_frame(c.frame.data(), c.frame.size(), address(kOurs), &e),
		          -1)
		    << c.what;
		EXPECT_STREQ(e.ip, "untouched-ip") << c.what;
		EXPECT_STREQ(e.mac, "untouched-mac") << c.what;
	}
}

TEST(ArpFrame, RequestHasTheExactLayout) {
	uint8_t frame[tarvik::kArpFrameBuffer];
	memset(frame, 0xAA, sizeof frame);
	in_addr src, dst;
	inet_aton("10.0.0.1", &src);
	inet_aton("10.0.0.9", &dst);
	tarvik::build_arp_request(frame, kMac, src.s_addr, dst.s_addr);
	const uint8_t expected[42] = {
	    0xff, 0xff, 0xff, 0xff, 0xff, 0xff,             // broadcast
	    0x02, 0x1A, 0x11, 0xF0, 0x0A, 0x0B,             // own MAC
	    0x08, 0x06,                                     // ARP
	    0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01,       // Ethernet, IPv4, request
	    0x02, 0x1A, 0x11, 0xF0, 0x0A, 0x0B, 10, 0, 0, 1, // sender
	    0, 0, 0, 0, 0, 0, 10, 0, 0, 9,                  // target
	};
	EXPECT_EQ(memcmp(frame, expected, sizeof expected), 0);
	for (size_t i = 42; i < sizeof frame; i++)
		EXPECT_EQ(frame[i], 0) << "byte " << i; // the buffer is cleared
}

TEST(ArpFrame, RequestAddressHasTheExactLayout) {
	sockaddr_ll addr;
	memset(&addr, 0xAA, sizeof addr);
	tarvik::arp_request_address(&addr, 0x01020304, kMac);
	const uint8_t expected[20] = {
	    17, 0,                                  // AF_PACKET, host order
	    0x08, 0x06,                             // ETH_P_ARP, network order
	    0, 0, 0, 0,                             // index, host order (filled below)
	    0x00, 0x01,                             // ARPHRD_ETHER, network order
	    1, 6,                                   // broadcast, 6 bytes
	    0x02, 0x1A, 0x11, 0xF0, 0x0A, 0x0B, 0, 0 // own MAC, then zero
	};
	uint8_t want[20];
	memcpy(want, expected, sizeof want);
	int index = 0x01020304;
	memcpy(want + 4, &index, 4);
	uint16_t family = AF_PACKET;
	memcpy(want, &family, 2);
	EXPECT_EQ(memcmp(&addr, want, sizeof want), 0);
}

// read_arp through a datagram socket pair: each send is one frame of
// exactly that length.
class ReadArp : public testing::Test {
protected:
	void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds_), 0); }
	void TearDown() override {
		close(fds_[0]);
		close(fds_[1]);
	}
	void send_frame(const std::vector<uint8_t> &f) {
		ASSERT_EQ(send(fds_[1], f.data(), f.size(), 0), static_cast<ssize_t>(f.size()));
	}
	int fds_[2];
};

TEST_F(ReadArp, TakesTheReceivedLengthNotTheBuffer) {
	// A short frame after a full reply is no reply, whatever the receive
	// buffer held before it.
	auto full = reply_frame(kMac, "10.0.0.7");
	auto cut = full;
	cut.resize(22);
	send_frame(full);
	send_frame(cut);
	ArpEntry e = marked_entry();
	EXPECT_EQ(read_arp(fds_[0], &e), 0);
	EXPECT_STREQ(e.ip, "10.0.0.7");
	ArpEntry e2 = marked_entry();
	EXPECT_EQ(read_arp(fds_[0], &e2), -1);
	EXPECT_STREQ(e2.ip, "untouched-ip");
}

TEST_F(ReadArp, ChecksAllButWhomTheReplyIsFor) {
	// A descriptor does not say which address is ours: a reply to another
	// host is taken, a group sender is not.
	auto good = reply_frame(kMac, "10.0.0.7");
	send_frame(patched(good, 38, {10, 0, 0, 2}));
	send_frame(patched(good, 22, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}));
	ArpEntry e = marked_entry();
	EXPECT_EQ(read_arp(fds_[0], &e), 0);
	ArpEntry e2 = marked_entry();
	EXPECT_EQ(read_arp(fds_[0], &e2), -1);
	EXPECT_STREQ(e2.mac, "untouched-mac");
}

TEST_F(ReadArp, AReceiveErrorIsReportedAndFails) {
	ArpEntry e = marked_entry();
	testing::internal::CaptureStderr();
	EXPECT_EQ(read_arp(-1, &e), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "recvfrom(): Bad file descriptor\n");
}

// ---- address utilities ---------------------------------------------------

TEST(AddressUtilities, OnlyIpv4AddressesAreTaken) {
	sockaddr_in in4 = {};
	in4.sin_family = AF_INET;
	inet_aton("10.1.2.3", &in4.sin_addr);
	uint32_t ip = 7;
	EXPECT_EQ(int_ip4(reinterpret_cast<sockaddr *>(&in4), &ip), 0);
	EXPECT_EQ(ip, in4.sin_addr.s_addr);
	char text[16];
	EXPECT_EQ(format_ip4(reinterpret_cast<sockaddr *>(&in4), text), 0);
	EXPECT_STREQ(text, "10.1.2.3");

	sockaddr_in6 in6 = {};
	in6.sin6_family = AF_INET6;
	ip = 7;
	testing::internal::CaptureStdout();
	EXPECT_EQ(int_ip4(reinterpret_cast<sockaddr *>(&in6), &ip), 1);
	EXPECT_EQ(format_ip4(reinterpret_cast<sockaddr *>(&in6), text), -1);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "Not AF_INET\n"); // format_ip4 prints nothing
	EXPECT_EQ(ip, 7u);
}

TEST(AddressUtilities, InterfaceNamesLongerThan15AreRefused) {
	uint32_t ip = 0;
	uint8_t mac[6];
	int index = 0;
	testing::internal::CaptureStdout();
	EXPECT_EQ(get_if_info("abcdefghijklmnop", &ip, mac, &index), -1);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "Too long interface name, MAX=15\n\n");

	// 15 characters pass the length test and fail on the unknown name.
	testing::internal::CaptureStdout();
	testing::internal::CaptureStderr();
	EXPECT_EQ(get_if_info("abcdefghijklmno", &ip, mac, &index), -1);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "SIOCGIFINDEX: No such device\n");

	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	testing::internal::CaptureStdout();
	EXPECT_EQ(get_if_ip4(fd, "abcdefghijklmnop", &ip), -1);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "Too long interface name\n");
	close(fd);
}

// ---- refusals before a probe -------------------------------------------

TEST(TestArping, RefusedIpTextsPrintTheirMessageAndAnEmptyLine) {
	for (const char *ip : {"0.0.0.0", "255.255.255.255", "no address", ""}) {
		testing::internal::CaptureStdout();
		EXPECT_EQ(test_arping("lo", ip), nullptr) << ip;
		EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid source IP\n\n") << ip;
	}
}

TEST(TestArping, UnknownOrOverlongDevicesFailInGetIfInfo) {
	testing::internal::CaptureStdout();
	EXPECT_EQ(test_arping("abcdefghijklmnop", "10.0.0.1"), nullptr);
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
	          "Too long interface name, MAX=15\n\n"
	          "get_if_info failed, interface abcdefghijklmnop not found or no IP set?\n");

	// A name that would not even fit the entry's 1024-byte field is
	// refused the same way, never cut.
	std::string huge(5000, 'n');
	testing::internal::CaptureStdout();
	EXPECT_EQ(test_arping(huge.c_str(), "10.0.0.1"), nullptr);
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
	          "Too long interface name, MAX=15\n\nget_if_info failed, interface " + huge +
	              " not found or no IP set?\n");

	testing::internal::CaptureStdout();
	testing::internal::CaptureStderr();
	EXPECT_EQ(test_arping("nosuchdev0", "10.0.0.1"), nullptr);
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
	          "get_if_info failed, interface nosuchdev0 not found or no IP set?\n");
	testing::internal::GetCapturedStderr();
}
