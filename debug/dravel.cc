// dravel: runs every node-information function once and prints each
// result as one labelled line of compact JSON, followed by an empty line.
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>

#include "cache.h"
#include "facts.h"
#include "json_output.h"
#include "neighbours.h"
#include "nodeinfo.h"
#include "statistics.h"
#include "tarvik.h"

// Prints and releases the result of a query that reports an error code and
// hands its object back through an out-parameter. A failed query that
// hands one back breaks the library's contract: the run ends there, in
// every build, with the report its readers know.
static void d2(const char *label, json_object *res, int err) {
	if (err != 0) {
		printf("%s: failed %i\n\n", label, err);
		if (res != nullptr) {
			fflush(stdout); // abort would lose the buffered lines
			fputs("dravel: debug/dravel.cc:23: d2: Assertion `!res' failed.\n", stderr);
			abort();
		}
		return;
	}
	printf("%s: %s\n\n", label, json_output_text(res));
	json_object_put(res);
}

// Prints the result of a function (an object or NULL); releases the object.
static void print_result(const char *label, json_object *res) {
	if (res == nullptr) {
		printf("%s: failed\n\n", label);
		return;
	}
	printf("%s: %s\n\n", label, json_output_text(res));
	json_object_put(res);
}

int main(int, char **) {
	print_result("get_traffic", get_traffic());
	print_result("provider_neighbours", provider_neighbours());
	print_result("provider_nodeinfo", provider_nodeinfo());
	print_result("provider_statistics", provider_statistics());
	{
		json_object *res = nullptr;
		int err = olsr1_get_nodeinfo(tarvik::kOlsrdFacts.version_command, &res);
		d2("olsr1_nodeinfo", res, err);
	}
	{
		json_object *res = nullptr;
		int err = olsr2_get_nodeinfo(tarvik::kOlsrd2Facts.links_command, &res);
		d2("olsr2_nodeinfo", res, err);
	}
	print_result("zistad_clients", socket_request_json(kZistadSocket, kZistadRequest));
	print_result("make_safe", kavond::make_safe("n"));
	return 0;
}
