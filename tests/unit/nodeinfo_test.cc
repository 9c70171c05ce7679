// The nodeinfo pieces that work on a daemon answer handed to them, on the
// document's objects, and on interfaces made in the sandbox.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <string>

#include "holders.h"
#include "nodeinfo_answers.h"
#include "nodeinfo.h"
#include "test_support.h"

using tarvik::JsonPtr;
using testing_support::run_command;

namespace {

JsonPtr parse(const char *text) {
	JsonPtr value(json_tokener_parse(text));
	EXPECT_NE(value, nullptr) << text;
	return value;
}

std::string compact(json_object *value) { return json_object_to_json_string_ext(value, 0); }

// The value at a path of object members.
json_object *at(json_object *value, std::initializer_list<const char *> path) {
	for (const char *key : path)
		value = json_object_object_get(value, key);
	return value;
}

// ---- olsrd ------------------------------------------------------------

const char kOlsr1Interfaces[] = R"({"interfaces":[
  {"name":"mesh0","configured":true,"olsrInterface":{"up":true,"ipAddress":"10.31.0.1","mode":"mesh","olsrMTU":1472}},
  {"name":"bare","configured":false},
  {"configured":true,"olsrInterface":{"ipAddress":"10.9.9.9"}},
  {"name":7,"olsrInterface":{"ipAddress":"10.7.7.7"}},
  "not an object",
  {"name":"mesh-vpn","configured":true,"olsrInterface":{"up":false,"ipAddress":4,"mode":"ether"}}
]})";

TEST(NodeinfoOlsr1, TableHasOneEntryPerNamedElementWithNullsForMissingValues) {
	JsonPtr answer = parse(kOlsr1Interfaces);
	JsonPtr table(nodeinfo_olsr1_table_from_answer(answer.get()));
	EXPECT_EQ(compact(table.get()),
	          R"({"mesh0":{"configured":true,"up":true,"ipAddress":"10.31.0.1","mode":"mesh"},)"
	          R"("bare":{"configured":false,"up":null,"ipAddress":null,"mode":null},)"
	          R"("mesh-vpn":{"configured":true,"up":false,"ipAddress":4,"mode":"ether"}})");
}

TEST(NodeinfoOlsr1, AddressesComeFromEveryElementInOrderEvenWithoutName) {
	JsonPtr answer = parse(kOlsr1Interfaces);
	JsonPtr addresses(nodeinfo_olsr1_addresses_from_answer(answer.get()));
	EXPECT_EQ(compact(addresses.get()), R"(["10.31.0.1","10.9.9.9","10.7.7.7",4])");
}

TEST(NodeinfoOlsr1, LaterElementOfTheSameNameReplacesTheEntry) {
	JsonPtr answer = parse(R"({"interfaces":[{"name":"a","configured":1},{"name":"b"},
	                          {"name":"a","configured":2}]})");
	JsonPtr table(nodeinfo_olsr1_table_from_answer(answer.get()));
	EXPECT_EQ(json_object_object_length(table.get()), 2);
	EXPECT_EQ(json_object_get_int(at(table.get(), {"a", "configured"})), 2);
}

TEST(NodeinfoOlsr1, ValuesAreSharedWithTheAnswerAndOutliveIt) {
	JsonPtr answer = parse(kOlsr1Interfaces);
	json_object *element = json_object_array_get_idx(at(answer.get(), {"interfaces"}), 0);
	json_object *ip = at(element, {"olsrInterface", "ipAddress"});
	JsonPtr table(nodeinfo_olsr1_table_from_answer(answer.get()));
	JsonPtr addresses(nodeinfo_olsr1_addresses_from_answer(answer.get()));
	EXPECT_EQ(at(table.get(), {"mesh0", "ipAddress"}), ip);
	EXPECT_EQ(at(table.get(), {"mesh0", "configured"}), at(element, {"configured"}));
	EXPECT_EQ(json_object_array_get_idx(addresses.get(), 0), ip);
	answer.reset();
	EXPECT_EQ(compact(at(table.get(), {"mesh0"})),
	          R"({"configured":true,"up":true,"ipAddress":"10.31.0.1","mode":"mesh"})");
	EXPECT_STREQ(json_object_get_string(json_object_array_get_idx(addresses.get(), 0)),
	             "10.31.0.1");
}

TEST(NodeinfoOlsr1, VersionAndPluginsAreTheValuesAtTheirPaths) {
	JsonPtr version = parse(R"({"version":{"version":"0.9.8","date":"x"}})");
	JsonPtr value(nodeinfo_olsr1_version_from_answer(version.get()));
	EXPECT_EQ(value.get(), at(version.get(), {"version", "version"}));

	JsonPtr plugins = parse(R"({"plugins":[{"plugin":"p.so"}]})");
	JsonPtr list(nodeinfo_olsr1_plugins_from_answer(plugins.get()));
	EXPECT_EQ(list.get(), at(plugins.get(), {"plugins"}));

	for (const char *text : {"{}", R"({"version":"0.9.8"})", R"({"version":{}})"}) {
		JsonPtr answer = parse(text);
		EXPECT_EQ(nodeinfo_olsr1_version_from_answer(answer.get()), nullptr) << text;
	}
}

// ---- olsrd2 -----------------------------------------------------------

TEST(NodeinfoOlsr2, TableMapsBindAddressesThatAreDashOrNotTextToNull) {
	JsonPtr answer = parse(R"({"interface":[
	  {"if":"mesh0","if_mac":"02:00:00:00:00:01","if_bindto_v4":"10.31.0.1","if_bindto_v6":"-"},
	  {"if":"odd","if_bindto_v4":"-x","if_bindto_v6":"fe80::1"},
	  {"if":"typed","if_mac":5,"if_bindto_v4":-1,"if_bindto_v6":null},
	  {"if":"empty","if_bindto_v4":"","if_bindto_v6":{"a":"-"}},
	  {"if_mac":"02:00:00:00:00:09","if_bindto_v4":"10.0.0.9"},
	  {"if":["mesh1"],"if_bindto_v4":"10.0.0.8"},
	  null
	]})");
	JsonPtr table(nodeinfo_olsr2_table_from_answer(answer.get()));
	EXPECT_EQ(compact(table.get()),
	          R"({"mesh0":{"mac":"02:00:00:00:00:01","v4":"10.31.0.1","v6":null},)"
	          R"("odd":{"mac":null,"v4":null,"v6":"fe80::1"},)"
	          R"("typed":{"mac":5,"v4":null,"v6":null},)"
	          R"("empty":{"mac":null,"v4":"","v6":null}})");
	json_object *element = json_object_array_get_idx(at(answer.get(), {"interface"}), 0);
	EXPECT_EQ(at(table.get(), {"mesh0", "v4"}), at(element, {"if_bindto_v4"}));
	EXPECT_EQ(at(table.get(), {"mesh0", "mac"}), at(element, {"if_mac"}));
}

TEST(NodeinfoOlsr2, OriginatorsKeepOnlyTextNotBeginningWithDash) {
	JsonPtr answer = parse(R"({"originator":[{"originator":"10.31.0.1"},{"originator":"-"},
	  {"originator":"-10.0.0.1"},{"originator":-5},{"originator":null},{},"10.0.0.2",
	  {"originator":"fd00::1"}]})");
	JsonPtr addresses(nodeinfo_olsr2_addresses_from_answer(answer.get()));
	EXPECT_EQ(compact(addresses.get()), R"(["10.31.0.1","fd00::1"])");
}

TEST(NodeinfoOlsr2, VersionIsVersionTextOfTheFirstElement) {
	JsonPtr answer = parse(R"({"version":[{"version_text":"v0.15.1"},{"version_text":"other"}]})");
	JsonPtr version(nodeinfo_olsr2_version_from_answer(answer.get()));
	EXPECT_EQ(compact(version.get()), R"("v0.15.1")");
	for (const char *text : {R"({"version":[]})", R"({"version":{"version_text":"v"}})",
	                         R"({"version":["v"]})", R"({"version":[{}]})"}) {
		JsonPtr odd = parse(text);
		EXPECT_EQ(nodeinfo_olsr2_version_from_answer(odd.get()), nullptr) << text;
	}
}

// ---- answers without what they should carry ----------------------------

TEST(NodeinfoAnswers, NullAnswerOrMissingArrayGivesEmptyTablesAndListsAndNoValues) {
	// NULL stands for an answer that began with "{" but did not parse.
	const char *answers[] = {nullptr, "{}", R"({"interfaces":{"name":"x"},"interface":"x",)"
	                                        R"("originator":7,"version":null,"plugins":null})"};
	for (const char *text : answers) {
		SCOPED_TRACE(text ? text : "NULL");
		JsonPtr answer = text ? parse(text) : nullptr;
		JsonPtr v1_table(nodeinfo_olsr1_table_from_answer(answer.get()));
		JsonPtr v1_addresses(nodeinfo_olsr1_addresses_from_answer(answer.get()));
		JsonPtr v2_table(nodeinfo_olsr2_table_from_answer(answer.get()));
		JsonPtr v2_addresses(nodeinfo_olsr2_addresses_from_answer(answer.get()));
		EXPECT_EQ(compact(v1_table.get()), "{}");
		EXPECT_EQ(compact(v1_addresses.get()), "[]");
		EXPECT_EQ(compact(v2_table.get()), "{}");
		EXPECT_EQ(compact(v2_addresses.get()), "[]");
		EXPECT_EQ(nodeinfo_olsr1_version_from_answer(answer.get()), nullptr);
		EXPECT_EQ(nodeinfo_olsr1_plugins_from_answer(answer.get()), nullptr);
		EXPECT_EQ(nodeinfo_olsr2_version_from_answer(answer.get()), nullptr);
	}
}

TEST(NodeinfoAnswers, AnswerThatIsNotAnObjectYieldsNothing) {
	for (const char *text : {"[1,2]", "\"interfaces\"", "3"}) {
		JsonPtr answer = parse(text);
		JsonPtr table(nodeinfo_olsr2_table_from_answer(answer.get()));
		JsonPtr addresses(nodeinfo_olsr1_addresses_from_answer(answer.get()));
		EXPECT_EQ(compact(table.get()), "{}") << text;
		EXPECT_EQ(compact(addresses.get()), "[]") << text;
	}
}

// ---- document objects --------------------------------------------------

TEST(NodeinfoAttach, TablesShareEntriesWithNetworkInterfacesInFirstAppearanceOrder) {
	JsonPtr network(json_object_new_object());
	JsonPtr v1(json_object_new_object());
	JsonPtr v2(json_object_new_object());
	JsonPtr t1 = parse(R"({"a":{"n":1},"b":{"n":2}})");
	JsonPtr t2 = parse(R"({"c":{"n":3},"b":{"n":4}})");
	json_object *b1 = at(t1.get(), {"b"});
	json_object *b2 = at(t2.get(), {"b"});
	attach_interface_table(v1.get(), t1.release(), "olsr1", network.get());
	attach_interface_table(v2.get(), t2.release(), "olsr2", network.get());

	EXPECT_EQ(compact(network.get()),
	          R"({"a":{"olsr1":{"n":1}},"b":{"olsr1":{"n":2},"olsr2":{"n":4}},)"
	          R"("c":{"olsr2":{"n":3}}})");
	EXPECT_EQ(compact(v1.get()), R"({"interfaces":{"a":{"n":1},"b":{"n":2}}})");
	EXPECT_EQ(at(network.get(), {"b", "olsr1"}), b1);
	EXPECT_EQ(at(network.get(), {"b", "olsr2"}), b2);
	EXPECT_EQ(at(v2.get(), {"interfaces", "b"}), b2);

	// One reference per place: with both holders gone, the extra
	// reference taken here is the last one.
	json_object_get(b1);
	v1.reset();
	EXPECT_EQ(at(network.get(), {"b", "olsr1"}), b1);
	network.reset();
	EXPECT_EQ(json_object_put(b1), 1);
}

TEST(NodeinfoAttach, MissingTableChangesNothing) {
	JsonPtr network(json_object_new_object());
	JsonPtr daemon(json_object_new_object());
	attach_interface_table(daemon.get(), nullptr, "olsr1", network.get());
	EXPECT_EQ(compact(daemon.get()), "{}");
	EXPECT_EQ(compact(network.get()), "{}");
}

// ---- interface classes (real devices made in the sandbox) -------------

class NodeinfoClasses : public ::testing::Test {
protected:
	static void sh(const std::string &command) { testing_support::must_run(command); }
	void TearDown() override {
		run_command("ip link del cl-br 2>/dev/null; ip link del cl-a 2>/dev/null; "
		            "ip link del cl-b 2>/dev/null; ip link del cl-tun 2>/dev/null");
	}
};

TEST_F(NodeinfoClasses, NameWithGlobCharactersSeesOnlyItsOwnDirectory) {
	sh("ip link add cl-a address 02:c1:00:00:00:0a type veth peer name cl-ap");
	sh("ip link add cl-br address 02:c1:00:00:00:01 type bridge");
	sh("ip link set cl-a master cl-br");
	// All of them match cl-br's directory; "cl-br****" matches entries
	// shorter than its own pattern.
	for (const char *name : {"*", "cl-b*", "cl-br****", "cl-b?", "[c]l-br"}) {
		JsonPtr classes(nodeinfo_interface_classes(name));
		EXPECT_EQ(compact(classes.get()), R"({"other":[null]})") << name;
	}
}

// Each address under its class; a list stays out when it is empty, not
// when it holds a null (a device without hardware address).
TEST_F(NodeinfoClasses, EachAddressIsFiledUnderItsClassAndEmptyListsAreLeftOut) {
	sh("ip link add cl-a address 02:c1:00:00:00:0a type veth peer name cl-ap");
	sh("ip tuntap add dev cl-tun mode tun");
	const struct {
		const char *name, *classes;
	} rows[] = {
	    {"cl-a", R"({"wired":["02:c1:00:00:00:0a"]})"},
	    {"cl-tun", R"({"tunnel":[null]})"},
	    // type 772 (loopback), address 00:00:00:00:00:00.
	    {"lo", R"({"other":["00:00:00:00:00:00"]})"},
	};
	for (const auto &row : rows) {
		JsonPtr classes(nodeinfo_interface_classes(row.name));
		EXPECT_EQ(compact(classes.get()), row.classes) << row.name;
	}
}

} // namespace
