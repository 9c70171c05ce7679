// The standard forms of neighbour values that a daemon's answer can carry:
// Prometheus labels escaped as the format asks, non-finite costs written
// as its special values, and no NetJSON link without a finite cost.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include "forms.h"
#include "holders.h"

using tarvik::JsonPtr;
using tarvik::TextPtr;

TEST(Forms, NeighbourValuesFromAnswers) {
	struct Case {
		const char *mac, *etx; // JSON texts
		const char *cost;      // the link_cost sample, NULL: none
		size_t links;          // in the NetJSON graph
	} cases[] = {
	    {R"("02:00:00:00:00:02")", "2.5", R"(mac="02:00:00:00:00:02",address="10.0.0.2"} 2.5)", 1},
	    {R"("a\"b\\c\nd")", "Infinity", R"(mac="a\"b\\c\nd",address="10.0.0.2"} +Inf)", 0},
	    {R"("m")", "-Infinity", R"(mac="m",address="10.0.0.2"} -Inf)", 0},
	    {R"("m")", "NaN", R"(mac="m",address="10.0.0.2"} NaN)", 0},
	    {R"("m")", R"("4")", nullptr, 0},
	};
	for (const Case &c : cases) {
		char text[512];
		snprintf(text, sizeof text,
		         R"({"nodeinfo": {"software": {"olsr1": {"running": true, "version": "0.9",)"
		         R"( "addresses": ["10.0.0.1"]}}}, "statistics": {"clients": null, "traffic": null},)"
		         R"( "neighbours": {%s: {"ifname": "mesh0", "etx": %s, "olsr1_ip": "10.0.0.2"}}})",
		         c.mac, c.etx);
		JsonPtr state(json_tokener_parse(text));
		ASSERT_TRUE(state) << text;
		TextPtr prometheus(kavond::prometheus_text(state.get()));
		JsonPtr graph(kavond::netjson_graph(state.get(), "node"));
		ASSERT_TRUE(prometheus && graph);
		const char *sample = strstr(prometheus.get(), "olsr_kavond_link_cost{");
		if (c.cost == nullptr)
			EXPECT_EQ(sample, nullptr) << prometheus.get();
		else
			EXPECT_NE(strstr(prometheus.get(), c.cost), nullptr) << prometheus.get();
		json_object *first = json_object_array_get_idx(
		    json_object_object_get(graph.get(), "collection"), 0);
		EXPECT_EQ(json_object_array_length(json_object_object_get(first, "links")), c.links) << c.etx;
	}
}
