// Neighbour values a daemon's answer can carry, in the standard forms: Prometheus labels
// escaped, non-finite costs as +Inf/-Inf/NaN, and no NetJSON link without a finite cost.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include "forms.h"
#include "holders.h"

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
		tarvik::JsonPtr state(json_tokener_parse(text));
		ASSERT_TRUE(state) << text;
		tarvik::TextPtr prometheus(kavond::prometheus_text(state.get()));
		tarvik::JsonPtr graph(kavond::netjson_graph(state.get(), "node"));
		ASSERT_TRUE(prometheus && graph);
		const char *sought = c.cost != nullptr ? c.cost : "olsr_kavond_link_cost{";
		EXPECT_EQ(strstr(prometheus.get(), sought) != nullptr, c.cost != nullptr) << prometheus.get();
		json_object *first = json_object_array_get_idx(json_object_object_get(graph.get(), "collection"), 0);
		EXPECT_EQ(json_object_array_length(json_object_object_get(first, "links")), c.links) << c.etx;
	}
}
