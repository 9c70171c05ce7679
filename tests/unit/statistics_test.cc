// The statistics document's pieces: the RTM_GETLINK request, the walk over
// crafted replies (no kernel needed), the failures of the kernel request,
// the traffic object and the clients object. The counters of a real
// "local-port" are checked end to end (tests/e2e/test_statistics.py).
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "holders.h"
#include "json_output.h"
#include "statistics.h"
#include "test_support.h"

using tarvik::JsonPtr;
using testing_support::FdLimit;
using testing_support::open_fd_count;
using testing_support::run_command;

namespace {

using Bytes = std::vector<unsigned char>;

// Netlink messages are in the host's byte order (big-endian on mips):
// values are appended as the CPU holds them.
template <class T>
void put(Bytes &b, T v) {
	unsigned char raw[sizeof v];
	memcpy(raw, &v, sizeof v);
	b.insert(b.end(), raw, raw + sizeof v);
}
void put16(Bytes &b, uint16_t v) { put(b, v); }
void put32(Bytes &b, uint32_t v) { put(b, v); }

// Counter i of a crafted IFLA_STATS64 payload: distinct for every i.
uint64_t counter_value(size_t i) { return 1000003ull * (i + 1) + (uint64_t{i} << 40); }

Bytes stats_payload(size_t counters) {
	Bytes b;
	for (size_t i = 0; i < counters; i++)
		put(b, counter_value(i));
	return b;
}

// A crafted link reply: the two headers (in host byte order, as the
// kernel sends them), then attributes, each padded to a multiple of 4 unless told
// otherwise. nlmsg_len is the size unless set.
class Reply {
public:
	Reply() : bytes_(32, 0) {}
	Reply &attr(uint16_t type, const Bytes &payload, int declared_len = -1, bool pad = true) {
		put16(bytes_, declared_len >= 0 ? uint16_t(declared_len) : uint16_t(4 + payload.size()));
		put16(bytes_, type);
		bytes_.insert(bytes_.end(), payload.begin(), payload.end());
		while (pad && bytes_.size() % 4 != 0)
			bytes_.push_back(0);
		return *this;
	}
	Bytes build(int64_t message_length = -1) const {
		Bytes b = bytes_;
		uint32_t len = message_length >= 0 ? uint32_t(message_length) : uint32_t(b.size());
		memcpy(b.data(), &len, 4);
		return b;
	}

private:
	Bytes bytes_;
};

// Walks the first `received` bytes of `reply`, held in a block of exactly
// that size (so that a sanitizer build sees any read past them).
int walk(const Bytes &reply, size_t received, link_stats64 *stats) {
	std::unique_ptr<unsigned char[]> exact(new unsigned char[received ? received : 1]);
	memcpy(exact.get(), reply.data(), received);
	return read_link_stats64(exact.get(), received, stats);
}
int walk(const Bytes &reply, link_stats64 *stats) { return walk(reply, reply.size(), stats); }

const uint64_t *counters_of(const link_stats64 &s) { return reinterpret_cast<const uint64_t *>(&s); }

// A record full of 0xAB bytes, to see what the walk writes.
link_stats64 marked() {
	link_stats64 s;
	memset(&s, 0xAB, sizeof s);
	return s;
}

std::string text(json_object *o) { return json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN); }

// ---- the request ----------------------------------------------------------

TEST(LinkRequest, IsLaidOutByteForByteForTheKernel) {
	unsigned char request[kLinkRequestSize];
	memset(request, 0xEE, sizeof request);
	build_link_request(0x01020304, request);
	Bytes expected;
	put32(expected, 132);                // nlmsg_len
	put16(expected, RTM_GETLINK);        // 18
	put16(expected, NLM_F_REQUEST);      // no ACK, no dump
	put32(expected, 0);                  // seq
	put32(expected, 0);                  // pid
	expected.insert(expected.end(), {0, 0, 0, 0}); // family, pad, type
	put32(expected, 0x01020304);         // ifi_index
	put32(expected, 0);                  // ifi_flags
	put32(expected, 0xFFFFFFFF);         // ifi_change
	put16(expected, 8);                  // rta_len
	put16(expected, IFLA_STATS);         // 7
	expected.resize(132, 0);
	EXPECT_EQ(Bytes(request, request + sizeof request), expected);
}

// ---- the attribute walk ------------------------------------------------------

TEST(ReplyWalk, FindsStats64BehindAttributesOfUnalignedLengths) {
	Bytes reply = Reply()
	                  .attr(IFLA_IFNAME, {'l', 'p', 0})           // rta_len 7
	                  .attr(IFLA_OPERSTATE, {6})                  // rta_len 5
	                  .attr(IFLA_LINKMODE, {1, 0})                // rta_len 6
	                  .attr(IFLA_STATS, Bytes(96, 0x77))          // the 32-bit counters
	                  .attr(IFLA_STATS64, stats_payload(24))
	                  .build();
	link_stats64 stats = marked();
	ASSERT_EQ(walk(reply, &stats), 0);
	for (size_t i = 0; i < 24; i++)
		EXPECT_EQ(counters_of(stats)[i], counter_value(i)) << "counter " << i;
	EXPECT_EQ(stats.rx_packets, counter_value(0));
	EXPECT_EQ(stats.rx_bytes, counter_value(2));
	EXPECT_EQ(stats.tx_dropped, counter_value(7));
	EXPECT_EQ(stats.rx_nohandler, counter_value(23));
}

TEST(ReplyWalk, KeepsTheFirst24CountersOfALongerPayload) {
	// Newer kernels append counters (rx_otherhost_dropped, ...).
	Bytes reply = Reply().attr(IFLA_STATS64, stats_payload(25)).attr(IFLA_MTU, {0, 5, 0, 0}).build();
	link_stats64 stats = marked();
	ASSERT_EQ(walk(reply, &stats), 0);
	EXPECT_EQ(stats.rx_nohandler, counter_value(23));
}

TEST(ReplyWalk, ShortStats64PayloadIsCopiedAsFarAsItGoesAndTheRestIsZero) {
	for (size_t counters : {0u, 8u, 23u}) {
		SCOPED_TRACE(counters);
		// The attribute is the last of the reply: nothing follows its payload.
		Bytes reply = Reply().attr(IFLA_STATS64, stats_payload(counters)).build();
		link_stats64 stats = marked();
		ASSERT_EQ(walk(reply, &stats), 0);
		for (size_t i = 0; i < 24; i++)
			EXPECT_EQ(counters_of(stats)[i], i < counters ? counter_value(i) : 0) << "counter " << i;
	}
}

TEST(ReplyWalk, AttributeLengthBelowFourEndsTheWalk) {
	for (int bad_length : {0, 1, 3}) {
		SCOPED_TRACE(bad_length);
		Bytes reply = Reply()
		                  .attr(IFLA_MTU, {0, 5, 0, 0})
		                  .attr(IFLA_IFNAME, {}, bad_length)
		                  .attr(IFLA_STATS64, stats_payload(24))
		                  .build();
		link_stats64 stats = marked();
		EXPECT_EQ(walk(reply, &stats), ENODATA);
		EXPECT_EQ(counters_of(stats)[0], counters_of(marked())[0]) << "record written on failure";
	}
}

TEST(ReplyWalk, AttributeLongerThanTheBytesLeftEndsTheWalk) {
	// An attribute before the statistics claims more than is left.
	Bytes before = Reply().attr(IFLA_IFNAME, {'x', 0}, 500).attr(IFLA_STATS64, stats_payload(24)).build();
	link_stats64 stats;
	EXPECT_EQ(walk(before, &stats), ENODATA);
	// The statistics attribute itself claims one byte more than the message.
	Bytes self = Reply().attr(IFLA_STATS64, stats_payload(24), 4 + 192 + 1).build();
	EXPECT_EQ(walk(self, &stats), ENODATA);
}

TEST(ReplyWalk, RepliesShorterThanTheirHeadersHoldNothing) {
	Bytes reply = Reply().attr(IFLA_STATS64, stats_payload(24)).build();
	link_stats64 stats;
	for (size_t received : {0u, 1u, 16u, 31u}) {
		SCOPED_TRACE(received);
		EXPECT_EQ(walk(reply, received, &stats), ENODATA);
	}
	EXPECT_EQ(read_link_stats64(nullptr, 0, &stats), ENODATA);
	// A message length below the headers, whatever arrived.
	for (int64_t length : {0, 16, 31}) {
		SCOPED_TRACE(length);
		EXPECT_EQ(walk(Reply().attr(IFLA_STATS64, stats_payload(24)).build(length), &stats), ENODATA);
	}
}

TEST(ReplyWalk, MessageLengthBoundsTheWalk) {
	// More bytes arrived than the message holds: whatever follows the
	// message is not one of its attributes.
	Bytes reply = Reply().attr(IFLA_MTU, {0, 5, 0, 0}).attr(IFLA_STATS64, stats_payload(24)).build(32 + 8);
	link_stats64 stats;
	EXPECT_EQ(walk(reply, &stats), ENODATA);
	// A message length that ends inside the statistics attribute.
	Bytes inside = Reply().attr(IFLA_STATS64, stats_payload(24)).build(32 + 100);
	EXPECT_EQ(walk(inside, &stats), ENODATA);
}

TEST(ReplyWalk, CutReplyIsWalkedOnlyAsFarAsItArrived) {
	// The message says 5000 bytes, but only 4096 arrived.
	Reply filler;
	filler.attr(IFLA_IFALIAS, Bytes(3900, 'a'));
	Bytes straddling = Reply(filler).attr(IFLA_STATS64, stats_payload(24)).build(5000);
	straddling.resize(5000, 0);
	link_stats64 stats;
	EXPECT_EQ(walk(straddling, 4096, &stats), ENODATA);
	// Statistics that lie wholly within the bytes that arrived are found.
	Bytes early = Reply().attr(IFLA_STATS64, stats_payload(24)).attr(IFLA_IFALIAS, Bytes(4000, 'a')).build();
	ASSERT_GT(early.size(), 4096u);
	ASSERT_EQ(walk(early, 4096, &stats), 0);
	EXPECT_EQ(stats.tx_bytes, counter_value(3));
}

TEST(ReplyWalk, UnpaddedLastAttributeOrRemnantEndsCleanly) {
	link_stats64 stats;
	// The message ends right after an attribute of length 5: its padding
	// would pass the end.
	EXPECT_EQ(walk(Reply().attr(IFLA_OPERSTATE, {6}, -1, false).build(), &stats), ENODATA);
	// One to three bytes left: no room for an attribute header.
	for (int remnant = 1; remnant <= 3; remnant++) {
		Bytes reply = Reply().attr(IFLA_MTU, {0, 5, 0, 0}).build();
		reply.resize(reply.size() + size_t(remnant), 0xFF);
		uint32_t length = uint32_t(reply.size());
		memcpy(reply.data(), &length, 4);
		EXPECT_EQ(walk(reply, &stats), ENODATA) << "remnant " << remnant;
	}
}

// ---- the kernel ----------------------------------------------------------------

TEST(LinkStats, MissingLocalPortGivesEnodataAndNoRecord) {
	ASSERT_EQ(run_command("ip link show local-port 2>/dev/null"), "");
	int fds = open_fd_count();
	link_stats64 dummy;
	link_stats64 *stats = &dummy;
	EXPECT_EQ(get_link_stats64(&stats), ENODATA);
	EXPECT_EQ(stats, nullptr);
	EXPECT_EQ(get_traffic(), nullptr);
	EXPECT_EQ(open_fd_count(), fds);
}

TEST(LinkStats, PortIdHeldByAnotherSocketGivesEaddrinuse) {
	int holder = socket(AF_NETLINK, SOCK_RAW, NETLINK_ROUTE);
	sockaddr_nl local{};
	local.nl_family = AF_NETLINK;
	local.nl_pid = uint32_t(getpid());
	ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
	int fds = open_fd_count();
	link_stats64 *stats = nullptr;
	EXPECT_EQ(get_link_stats64(&stats), EADDRINUSE);
	EXPECT_EQ(stats, nullptr);
	EXPECT_EQ(open_fd_count(), fds);
	close(holder);
	// Once the id is free again, the request goes through.
	EXPECT_EQ(get_link_stats64(&stats), ENODATA);
}

TEST(LinkStats, NoDescriptorLeftGivesEmfile) {
	link_stats64 *stats = nullptr;
	int fds = open_fd_count();
	{
		FdLimit limit;
		EXPECT_EQ(get_link_stats64(&stats), EMFILE);
	}
	EXPECT_EQ(stats, nullptr);
	EXPECT_EQ(open_fd_count(), fds);
}

// ---- the traffic object -------------------------------------------------------

TEST(Traffic, MapsEachCounterInTheDocumentsOrder) {
	link_stats64 stats;
	uint64_t *c = reinterpret_cast<uint64_t *>(&stats);
	for (int i = 0; i < 24; i++)
		c[i] = uint64_t(i + 1); // rx_packets 1, tx_packets 2, rx_bytes 3, ...
	json_object *traffic = traffic_from_stats(&stats);
	ASSERT_NE(traffic, nullptr);
	EXPECT_EQ(text(traffic), "{\"rx\":{\"bytes\":3,\"packets\":1,\"dropped\":7,\"errors\":5},"
	                         "\"tx\":{\"bytes\":4,\"packets\":2,\"dropped\":8,\"errors\":6}}");
	json_object_put(traffic);
}

TEST(Traffic, CountersAtOrAbove2To63PrintAsUnsignedNumbers) {
	link_stats64 stats = {};
	stats.rx_bytes = uint64_t{1} << 63;
	stats.tx_bytes = UINT64_MAX;
	stats.rx_packets = (uint64_t{1} << 63) - 1;
	json_object *traffic = traffic_from_stats(&stats);
	ASSERT_NE(traffic, nullptr);
	const std::string expected =
	    "{\"rx\":{\"bytes\":9223372036854775808,\"packets\":9223372036854775807,"
	    "\"dropped\":0,\"errors\":0},"
	    "\"tx\":{\"bytes\":18446744073709551615,\"packets\":0,\"dropped\":0,\"errors\":0}}";
	EXPECT_EQ(text(traffic), expected);
	EXPECT_EQ(json_output_text(traffic), expected); // as the documents are written
	// The cache file is read back by json-c's parser: the values survive.
	JsonPtr again(json_tokener_parse(expected.c_str()));
	EXPECT_EQ(json_object_get_uint64(json_object_object_get(
	              json_object_object_get(again.get(), "tx"), "bytes")),
	          UINT64_MAX);
	EXPECT_EQ(text(again.get()), expected);
	json_object_put(traffic);
}

// ---- the clients object -------------------------------------------------------

TEST(Clients, SharesTheAnswersValuesUnchanged) {
	json_object *answer =
	    json_tokener_parse("{\"clients\":2,\"clientlist\":{\"02:00:00:00:00:01\":{\"ip4\":\"10.0.0.1\"}},"
	                       "\"other\":true}");
	ASSERT_NE(answer, nullptr);
	json_object *list = json_object_object_get(answer, "clientlist");
	json_object *clients = clients_from_answer(answer);
	ASSERT_NE(clients, nullptr);
	EXPECT_EQ(json_object_object_get(clients, "list"), list);
	EXPECT_EQ(json_object_object_get(clients, "total"), json_object_object_get(answer, "clients"));
	// The document's values outlive the answer.
	json_object_put(answer);
	EXPECT_EQ(text(clients), "{\"total\":2,\"list\":{\"02:00:00:00:00:01\":{\"ip4\":\"10.0.0.1\"}}}");
	json_object_put(clients);
}

TEST(Clients, MissingMembersBecomeNullTotalAndEmptyList) {
	struct Case {
		const char *answer;
		const char *clients;
	} cases[] = {
	    {"{\"clients\":3}", "{\"total\":3,\"list\":{}}"},
	    {"{\"clients\":3,\"clientlist\":null}", "{\"total\":3,\"list\":{}}"},
	    {"{\"clientlist\":{}}", "{\"total\":null,\"list\":{}}"},
	    {"{\"clientlist\":[1]}", "{\"total\":null,\"list\":[1]}"},
	    {"[1,2]", "{\"total\":null,\"list\":{}}"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.answer);
		json_object *answer = json_tokener_parse(c.answer);
		ASSERT_NE(answer, nullptr);
		json_object *clients = clients_from_answer(answer);
		json_object_put(answer);
		ASSERT_NE(clients, nullptr);
		EXPECT_EQ(text(clients), c.clients);
		json_object_put(clients);
	}
}

} // namespace
