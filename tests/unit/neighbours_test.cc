// Neighbour tables: the walkers over injected daemon answers (no
// sockets: the ARP list is given and probing is off), the merge rules,
// and get_merged_neighs with stand-in daemons.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <math.h>
#include <string.h>

#include <string>
#include <vector>

#include "holders.h"
#include "arp.h"
#include "neighbour_tables.h"
#include "json_output.h"
#include "tarvik.h"
#include "test_support.h"

using tarvik::ArpListPtr;
using testing_support::arp_entry;
using tarvik::JsonPtr;

namespace {

JsonPtr parse(const char *text) {
	json_object *o = json_tokener_parse(text);
	EXPECT_NE(o, nullptr) << text;
	return JsonPtr(o);
}

std::vector<std::string> keys(json_object *o) {
	std::vector<std::string> out;
	json_object_object_foreach(o, k, v) {
		(void)v;
		out.emplace_back(k);
	}
	return out;
}

std::string text(json_object *o) { return json_output_text(o); }

json_object *member(json_object *o, const char *key) { return json_object_object_get(o, key); }

// The ARP list the olsrd walker tests resolve against.
ArpListPtr arp_list() {
	return ArpListPtr(arp_entry("10.0.0.1", "02:00:00:00:00:01", "mesh0",
	                        arp_entry("10.0.0.2", "02:00:00:00:00:02", "mesh0",
	                              arp_entry("10.0.0.3", "02:00:00:00:00:03", "mesh1"))));
}

JsonPtr olsr1_table(const char *answer) {
	JsonPtr a = parse(answer);
	ArpListPtr arp = arp_list();
	return JsonPtr(tarvik::olsr1_neigh_table(a.get(), arp.get(), 0));
}

JsonPtr olsr2_table(const char *answer) {
	JsonPtr a = parse(answer);
	return JsonPtr(tarvik::olsr2_neigh_table(a.get()));
}

} // namespace

// ---- olsrd -----------------------------------------------------------------

TEST(Olsr1Table, RecordsCarryTheMetricsInTableOrder) {
	JsonPtr t = olsr1_table(R"({"links":[
		{"ifName":"mesh0","remoteIP":"10.0.0.1","linkQuality":1.0,"neighborLinkQuality":0.5},
		{"ifName":"mesh1","remoteIP":"10.0.0.3","linkQuality":0.5,"neighborLinkQuality":0.5}]})");
	ASSERT_NE(t, nullptr);
	EXPECT_EQ(keys(t.get()), (std::vector<std::string>{"02:00:00:00:00:01", "02:00:00:00:00:03"}));
	json_object *r = member(t.get(), "02:00:00:00:00:01");
	EXPECT_EQ(keys(r), (std::vector<std::string>{"ifname", "best", "etx", "ip", "tq"}));
	EXPECT_EQ(text(r), R"({"ifname":"mesh0","best":false,"etx":2.0,"ip":"10.0.0.1","tq":127.5})");
	EXPECT_EQ(json_object_get_double(member(member(t.get(), "02:00:00:00:00:03"), "etx")), 4.0);
}

TEST(Olsr1Table, QualityZeroKeepsInfinityButWritesNull) {
	JsonPtr t = olsr1_table(R"({"links":[
		{"ifName":"mesh0","remoteIP":"10.0.0.1","linkQuality":0,"neighborLinkQuality":0.5},
		{"ifName":"mesh0","remoteIP":"10.0.0.2","neighborLinkQuality":0.5}]})");
	ASSERT_NE(t, nullptr);
	for (const char *mac : {"02:00:00:00:00:01", "02:00:00:00:00:02"}) {
		json_object *r = member(t.get(), mac);
		double etx = json_object_get_double(member(r, "etx"));
		EXPECT_TRUE(isinf(etx) && etx > 0) << mac;
		EXPECT_EQ(json_object_get_double(member(r, "tq")), 0.0);
		// Written as null even by plain json-c, whatever prints the table.
		EXPECT_STREQ(json_object_to_json_string_ext(member(r, "etx"), 0), "null");
		EXPECT_STREQ(json_object_to_json_string_ext(member(r, "tq"), 0), "0.0");
	}
}

TEST(Olsr1Table, ValuesAreSharedWithTheAnswer) {
	JsonPtr a = parse(R"({"links":[{"ifName":"mesh0","remoteIP":"10.0.0.1",
		"linkQuality":1,"neighborLinkQuality":1}]})");
	ArpListPtr arp = arp_list();
	JsonPtr t(tarvik::olsr1_neigh_table(a.get(), arp.get(), 0));
	json_object *link = json_object_array_get_idx(member(a.get(), "links"), 0);
	json_object *r = member(t.get(), "02:00:00:00:00:01");
	EXPECT_EQ(member(r, "ifname"), member(link, "ifName"));
	EXPECT_EQ(member(r, "ip"), member(link, "remoteIP"));
	a.reset(); // the records keep the shared values alive
	EXPECT_STREQ(json_object_get_string(member(r, "ip")), "10.0.0.1");
}

TEST(Olsr1Table, LinksWithoutTextsOrMacAreLeftOut) {
	JsonPtr t = olsr1_table(R"({"links":[
		{"ifName":"mesh0","remoteIP":"10.0.0.9","linkQuality":1,"neighborLinkQuality":1},
		{"remoteIP":"10.0.0.1","linkQuality":1,"neighborLinkQuality":1},
		{"ifName":"mesh0","linkQuality":1,"neighborLinkQuality":1},
		{"ifName":7,"remoteIP":"10.0.0.1"},
		{"ifName":"mesh0","remoteIP":null},
		{"ifName":"mesh1","remoteIP":"10.0.0.1"},
		"not a link",
		{"ifName":"mesh0","remoteIP":"10.0.0.2","linkQuality":1,"neighborLinkQuality":1}]})");
	ASSERT_NE(t, nullptr);
	EXPECT_EQ(keys(t.get()), (std::vector<std::string>{"02:00:00:00:00:02"}));
}

TEST(Olsr1Table, ALaterLinkOfTheSameMacReplacesTheEarlierInPlace) {
	ArpListPtr arp(arp_entry("10.0.0.1", "02:00:00:00:00:01", "mesh0",
	                     arp_entry("10.0.0.2", "02:00:00:00:00:02", "mesh0",
	                           arp_entry("10.1.0.1", "02:00:00:00:00:01", "mesh1"))));
	JsonPtr a = parse(R"({"links":[
		{"ifName":"mesh0","remoteIP":"10.0.0.1","linkQuality":1,"neighborLinkQuality":1},
		{"ifName":"mesh0","remoteIP":"10.0.0.2","linkQuality":1,"neighborLinkQuality":1},
		{"ifName":"mesh1","remoteIP":"10.1.0.1","linkQuality":1,"neighborLinkQuality":0.5}]})");
	JsonPtr t(tarvik::olsr1_neigh_table(a.get(), arp.get(), 0));
	EXPECT_EQ(keys(t.get()), (std::vector<std::string>{"02:00:00:00:00:01", "02:00:00:00:00:02"}));
	EXPECT_STREQ(json_object_get_string(member(member(t.get(), "02:00:00:00:00:01"), "ip")),
	             "10.1.0.1");
}

TEST(Olsr1Table, AnswerShapes) {
	EXPECT_EQ(text(olsr1_table(R"({"links":[]})").get()), "{}");
	EXPECT_EQ(olsr1_table(R"({"neighbors":[]})"), nullptr);
	EXPECT_EQ(olsr1_table(R"({"links":{"ifName":"mesh0"}})"), nullptr);
	EXPECT_EQ(olsr1_table(R"({"links":"none"})"), nullptr);
	EXPECT_EQ(olsr1_table(R"([1,2])"), nullptr);
	// A null link fails the whole table.
	EXPECT_EQ(olsr1_table(R"({"links":[
		{"ifName":"mesh0","remoteIP":"10.0.0.1","linkQuality":1,"neighborLinkQuality":1},null]})"),
	          nullptr);
	ArpListPtr arp = arp_list();
	EXPECT_EQ(tarvik::olsr1_neigh_table(nullptr, arp.get(), 0), nullptr);
}

// How each link got its MAC address, as the check reports it: an
// incomplete kernel row (all-zero MAC) is no find; the ARP table goes
// before the probe's replies.
TEST(Olsr1LinkMac, SaysWhereTheAddressCameFrom) {
	ArpListPtr arp(arp_entry("10.0.0.4", "00:00:00:00:00:00", "mesh0", arp_list().release()));
	ArpListPtr probed(arp_entry("10.0.0.5", "02:00:00:00:00:05", "mesh0",
	                            arp_entry("10.0.0.2", "02:00:00:00:00:99", "mesh0")));
	using tarvik::MacFrom;
	const struct {
		const char *link;
		const char *mac;
		MacFrom from;
	} rows[] = {
	    {R"({"ifName":"mesh0","remoteIP":"10.0.0.2"})", "02:00:00:00:00:02", MacFrom::kArpTable},
	    {R"({"ifName":"mesh0","remoteIP":"10.0.0.5"})", "02:00:00:00:00:05", MacFrom::kProbe},
	    {R"({"ifName":"mesh1","remoteIP":"10.0.0.2"})", nullptr, MacFrom::kNone},
	    {R"({"ifName":"mesh0","remoteIP":"10.0.0.4"})", nullptr, MacFrom::kNone},
	    {R"({"remoteIP":"10.0.0.2"})", nullptr, MacFrom::kNoText},
	    {R"({"ifName":"mesh0","remoteIP":2})", nullptr, MacFrom::kNoText},
	};
	for (const auto &row : rows) {
		JsonPtr link = parse(row.link);
		MacFrom from = MacFrom::kProbe;
		tarvik::TextPtr mac(tarvik::olsrd_link_mac(link.get(), arp.get(), probed.get(), &from));
		EXPECT_STREQ(mac.get(), row.mac) << row.link;
		EXPECT_EQ(from, row.from) << row.link;
	}
}

// ---- olsrd2 ----------------------------------------------------------------

TEST(Olsr2Table, RecordsTakeTheDaemonsValuesUnchanged) {
	JsonPtr t = olsr2_table(R"({"link":[
		{"if":"mesh0","link_vtime":4.0,"neighbor_originator":"fd00::1","link_mac":"02:AA:00:00:00:01","link_metric":99},
		{"if":"mesh1","link_vtime":"20.000","link_mac":"02:aa:00:00:00:02"}]})");
	ASSERT_NE(t, nullptr);
	EXPECT_EQ(keys(t.get()), (std::vector<std::string>{"02:AA:00:00:00:01", "02:aa:00:00:00:02"}));
	EXPECT_EQ(text(member(t.get(), "02:AA:00:00:00:01")),
	          R"({"ifname":"mesh0","best":false,"etx":4.0,"ip":"fd00::1"})");
	// The daemon's types stay; a member it left out is null.
	EXPECT_EQ(text(member(t.get(), "02:aa:00:00:00:02")),
	          R"({"ifname":"mesh1","best":false,"etx":"20.000","ip":null})");
}

TEST(Olsr2Table, LinksWithoutMacTextAreLeftOutAndRepeatsReplace) {
	JsonPtr t = olsr2_table(R"({"link":[
		{"if":"mesh0","link_mac":"02:aa:00:00:00:01","neighbor_originator":"first"},
		{"if":"mesh0","neighbor_originator":"no mac"},
		{"if":"mesh0","link_mac":12,"neighbor_originator":"number mac"},
		{"if":"mesh0","link_mac":"02:aa:00:00:00:02"},
		{"if":"mesh1","link_mac":"02:aa:00:00:00:01","neighbor_originator":"second"}]})");
	ASSERT_NE(t, nullptr);
	EXPECT_EQ(keys(t.get()), (std::vector<std::string>{"02:aa:00:00:00:01", "02:aa:00:00:00:02"}));
	EXPECT_STREQ(json_object_get_string(member(member(t.get(), "02:aa:00:00:00:01"), "ip")),
	             "second");
}

TEST(Olsr2Table, ANeighbourListedPerAddressFamilyKeepsItsIpv6EntryInEitherOrder) {
	const char *v6 = R"({"if":"mesh0","link_vtime":4.0,"neighbor_originator":"fd00::2","link_mac":"02:aa:00:00:00:02"})";
	const char *v4 = R"({"if":"mesh1","link_vtime":8.0,"neighbor_originator":"10.0.0.2","link_mac":"02:aa:00:00:00:02"})";
	const char *other = R"({"if":"mesh0","link_vtime":2.0,"neighbor_originator":"10.0.0.3","link_mac":"02:aa:00:00:00:03"})";
	for (bool v6_first : {true, false}) {
		SCOPED_TRACE(v6_first ? "IPv6 entry first" : "IPv4 entry first");
		std::string answer = std::string(R"({"link":[)") + (v6_first ? v6 : v4) + "," + other +
		                     "," + (v6_first ? v4 : v6) + "]}";
		JsonPtr t = olsr2_table(answer.c_str());
		ASSERT_NE(t, nullptr);
		EXPECT_EQ(text(member(t.get(), "02:aa:00:00:00:02")),
		          R"({"ifname":"mesh0","best":false,"etx":4.0,"ip":"fd00::2"})");
		// A MAC listed once keeps its only entry, IPv4 or not.
		EXPECT_EQ(text(member(t.get(), "02:aa:00:00:00:03")),
		          R"({"ifname":"mesh0","best":false,"etx":2.0,"ip":"10.0.0.3"})");
		// And so does the merged table the neighbours document is made of.
		JsonPtr merged(json_object_new_object());
		merge_neighs(merged.get(), t.get(), "olsr2");
		EXPECT_STREQ(json_object_get_string(member(member(merged.get(), "02:aa:00:00:00:02"),
		                                           "olsr2_ip")),
		             "fd00::2");
	}
}

TEST(Olsr2Table, AnswerShapes) {
	EXPECT_EQ(text(olsr2_table(R"({"link":[]})").get()), "{}");
	EXPECT_EQ(olsr2_table(R"({"links":[]})"), nullptr);
	EXPECT_EQ(olsr2_table(R"({"link":{}})"), nullptr);
	EXPECT_EQ(olsr2_table(R"({"link":[null]})"), nullptr);
	EXPECT_EQ(tarvik::olsr2_neigh_table(nullptr), nullptr);
}

// ---- merge -----------------------------------------------------------------

class Merge : public testing::Test {
protected:
	// olsrd2 sees A and B, olsrd sees B and C; merged olsrd2 first.
	void SetUp() override {
		v2_ = parse(R"({
			"02:00:00:00:00:0a":{"ifname":"mesh0","best":false,"etx":1.0,"ip":"fd00::a"},
			"02:00:00:00:00:0b":{"ifname":"mesh2","best":false,"etx":4.0,"ip":"fd00::b"}})");
		v1_ = parse(R"({
			"02:00:00:00:00:0b":{"ifname":"mesh0","best":false,"etx":2.0,"ip":"10.0.0.2","tq":127.5},
			"02:00:00:00:00:0c":{"ifname":"mesh1","best":false,"etx":1.0,"ip":"10.0.0.3","tq":255.0}})");
		merged_ = JsonPtr(json_object_new_object());
		merge_neighs(merged_.get(), v2_.get(), "olsr2");
		merge_neighs(merged_.get(), v1_.get(), "olsr1");
	}
	json_object *rec(const char *mac) { return member(merged_.get(), mac); }
	JsonPtr v2_, v1_, merged_;
};

TEST_F(Merge, MemberOrdersForNeighboursSeenByOneOrBothDaemons) {
	EXPECT_EQ(keys(merged_.get()),
	          (std::vector<std::string>{"02:00:00:00:00:0a", "02:00:00:00:00:0b", "02:00:00:00:00:0c"}));
	EXPECT_EQ(text(rec("02:00:00:00:00:0a")),
	          R"({"ifname":"mesh0","best":false,"etx":1.0,"olsr2_ip":"fd00::a"})");
	EXPECT_EQ(text(rec("02:00:00:00:00:0b")),
	          R"({"ifname":"mesh0","best":false,"etx":3.0,"olsr2_ip":"fd00::b","olsr1_ip":"10.0.0.2","tq":127.5})");
	EXPECT_EQ(text(rec("02:00:00:00:00:0c")),
	          R"({"ifname":"mesh1","best":false,"etx":1.0,"olsr1_ip":"10.0.0.3","tq":255.0})");
}

TEST_F(Merge, SingleSourceValuesAreSharedAndTheInputsOnlyRead) {
	json_object *v1b = member(v1_.get(), "02:00:00:00:00:0b");
	EXPECT_EQ(member(rec("02:00:00:00:00:0b"), "tq"), member(v1b, "tq"));
	EXPECT_EQ(member(rec("02:00:00:00:00:0b"), "olsr1_ip"), member(v1b, "ip"));
	EXPECT_EQ(member(rec("02:00:00:00:00:0a"), "etx"),
	          member(member(v2_.get(), "02:00:00:00:00:0a"), "etx"));
	EXPECT_EQ(text(v1b), R"({"ifname":"mesh0","best":false,"etx":2.0,"ip":"10.0.0.2","tq":127.5})");
	v1_.reset();
	v2_.reset();
	EXPECT_STREQ(json_object_get_string(member(rec("02:00:00:00:00:0b"), "olsr1_ip")), "10.0.0.2");
}

TEST(MergeRules, BestIsOredAndTqAveraged) {
	JsonPtr merged(json_object_new_object());
	JsonPtr a = parse(R"({"m":{"best":false,"tq":100,"x":1}})");
	JsonPtr b = parse(R"({"m":{"best":true,"tq":50.0,"x":"two"}})");
	JsonPtr c = parse(R"({"m":{"best":false}})");
	merge_neighs(merged.get(), a.get(), "p1");
	merge_neighs(merged.get(), b.get(), "p2");
	EXPECT_EQ(text(member(merged.get(), "m")), R"({"best":true,"tq":75.0,"x":"two"})");
	merge_neighs(merged.get(), c.get(), "p3");
	EXPECT_TRUE(json_object_get_boolean(member(member(merged.get(), "m"), "best")));
}

TEST(MergeRules, AveragesWithInfinityStayInfiniteAndWriteNull) {
	JsonPtr merged(json_object_new_object());
	JsonPtr a = parse(R"({"m":{"etx":4.0}})");
	JsonPtr b(json_object_new_object());
	JsonPtr rec(json_object_new_object());
	json_object_object_add(rec.get(), "etx", json_object_new_double(INFINITY));
	json_object_object_add(b.get(), "m", rec.release());
	merge_neighs(merged.get(), a.get(), "olsr2");
	merge_neighs(merged.get(), b.get(), "olsr1");
	json_object *etx = member(member(merged.get(), "m"), "etx");
	EXPECT_TRUE(isinf(json_object_get_double(etx)));
	EXPECT_STREQ(json_object_to_json_string_ext(etx, 0), "null");
}

TEST(MergeRules, AProtocolNameLongerThanSixIsRefusedWithoutWriting) {
	JsonPtr merged = parse(R"({"m":{"ifname":"mesh0"}})");
	JsonPtr t = parse(R"({"m":{"ip":"10.0.0.1","etx":1.0},"n":{"ip":"10.0.0.2"}})");
	merge_neighs(merged.get(), t.get(), "olsr1x7");
	EXPECT_EQ(text(merged.get()), R"({"m":{"ifname":"mesh0"}})");
	merge_neighs(merged.get(), t.get(), "olsr1x");
	EXPECT_EQ(text(merged.get()),
	          R"({"m":{"ifname":"mesh0","olsr1x_ip":"10.0.0.1","etx":1.0},"n":{"olsr1x_ip":"10.0.0.2"}})");
}

TEST(MergeRules, WrongShapesLeaveTheMergedTableAlone) {
	JsonPtr merged = parse(R"({"m":{"ifname":"mesh0"}})");
	JsonPtr arr = parse("[1,2]");
	merge_neighs(merged.get(), arr.get(), "olsr1");
	merge_neighs(merged.get(), nullptr, "olsr1");
	merge_neighs(merged.get(), merged.get(), "olsr1");
	merge_neighs(nullptr, merged.get(), "olsr1");
	merge_neighs(merged.get(), merged.get(), nullptr);
	EXPECT_EQ(text(merged.get()), R"({"m":{"ifname":"mesh0"}})");

	// A record that already is the merged record is not merged into itself.
	JsonPtr rec = parse(R"({"ip":"10.0.0.1"})");
	JsonPtr m2(json_object_new_object()), t2(json_object_new_object());
	json_object_object_add(m2.get(), "m", json_object_get(rec.get()));
	json_object_object_add(t2.get(), "m", json_object_get(rec.get()));
	merge_neighs(m2.get(), t2.get(), "olsr1");
	EXPECT_EQ(text(rec.get()), R"({"ip":"10.0.0.1"})");
}

// ---- get_merged_neighs with stand-in daemons -----------------------------

class MergedNeighs : public testing::Test {
protected:
	void SetUp() override {
		using testing_support::write_file;
		write_file("/etc/plovan/site.json",
		           R"({"mesh":{"olsrd":{"v1_4":{"enable":true},"v2":{"enable":true}}}})");
		write_file("/etc/init.d/olsrd", "#!/bin/sh\nexit 0\n", 0755);
		write_file("/etc/init.d/olsrd2", "#!/bin/sh\nexit 0\n", 0755);
	}
	void TearDown() override {
		remove("/etc/plovan/site.json");
		remove("/etc/init.d/olsrd");
		remove("/etc/init.d/olsrd2");
	}
};

TEST_F(MergedNeighs, NoDaemonRunningGivesAnEmptyTable) {
	testing_support::write_file("/etc/init.d/olsrd", "#!/bin/sh\nexit 3\n", 0755);
	testing_support::write_file("/etc/init.d/olsrd2", "#!/bin/sh\nexit 3\n", 0755);
	JsonPtr m(get_merged_neighs());
	ASSERT_NE(m, nullptr);
	EXPECT_EQ(text(m.get()), "{}");
}

TEST_F(MergedNeighs, NoSiteConfigurationGivesNull) {
	remove("/etc/plovan/site.json");
	EXPECT_EQ(get_merged_neighs(), nullptr);
}

TEST_F(MergedNeighs, AnUnreachableRunningOlsrd2FailsEvenWhenOlsrdAnswers) {
	testing_support::DaemonStandIn v1(9090, R"({"links":{"links":[]}})", false);
	EXPECT_EQ(get_merged_neighs(), nullptr);
}

TEST_F(MergedNeighs, AnEmptyArpTableFailsNothing) {
	// The sandbox's namespace has no neighbour at all: its ARP table holds
	// only the header line. The olsrd link is probed (on a device that
	// does not exist, so the probe fails and the link is left out), and
	// olsrd2's neighbour stays.
	testing_support::DaemonStandIn v1(
	    9090, R"({"links":{"links":[{"ifName":"nosuchdev0","remoteIP":"10.0.0.1"}]}})", false);
	testing_support::DaemonStandIn v2(1980, R"({"nhdpinfo jsonraw link":{"link":[
		{"if":"mesh0","link_mac":"02:aa:00:00:00:01","neighbor_originator":"fd00::1"}]}})",
	                                  true);
	ASSERT_EQ(testing_support::read_file("/proc/net/arp").find('\n') + 1,
	          testing_support::read_file("/proc/net/arp").size());
	testing::internal::CaptureStdout();
	testing::internal::CaptureStderr();
	JsonPtr m(get_merged_neighs());
	std::string said = testing::internal::GetCapturedStdout();
	testing::internal::GetCapturedStderr();
	ASSERT_NE(m, nullptr);
	EXPECT_EQ(keys(m.get()), (std::vector<std::string>{"02:aa:00:00:00:01"}));
	EXPECT_EQ(said, "get_if_info failed, interface nosuchdev0 not found or no IP set?\n");
}
