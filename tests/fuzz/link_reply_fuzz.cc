// read_link_stats64 on arbitrary reply bytes: 0 or ENODATA, never a read
// past the bytes given, and no record written when nothing was found.
// When statistics were found, the traffic object made of them is written
// as strict JSON with every counter as the unsigned decimal of its value,
// whatever its 64 bits are.
#include <errno.h>
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "json_output.h"
#include "statistics.h"
#include "strict_json.h"

namespace {

void check_traffic(const link_stats64 &s) {
	json_object *traffic = traffic_from_stats(&s);
	if (traffic == nullptr)
		abort();
	char expected[512];
	snprintf(expected, sizeof expected,
	         "{\"rx\":{\"bytes\":%" PRIu64 ",\"packets\":%" PRIu64 ",\"dropped\":%" PRIu64
	         ",\"errors\":%" PRIu64 "},\"tx\":{\"bytes\":%" PRIu64 ",\"packets\":%" PRIu64
	         ",\"dropped\":%" PRIu64 ",\"errors\":%" PRIu64 "}}",
	         s.rx_bytes, s.rx_packets, s.rx_dropped, s.rx_errors, s.tx_bytes, s.tx_packets,
	         s.tx_dropped, s.tx_errors);
	const char *text = json_output_text(traffic);
	if (text == nullptr || strcmp(text, expected) != 0 || !strict_json::valid(text, strlen(text)))
		abort();
	json_object_put(traffic);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	// A block of exactly the received size, as recv would have filled it.
	std::unique_ptr<unsigned char[]> reply(new unsigned char[size ? size : 1]);
	if (size > 0)
		memcpy(reply.get(), data, size);
	link_stats64 stats;
	memset(&stats, 0xAB, sizeof stats);
	int rc = read_link_stats64(reply.get(), size, &stats);
	if (rc != 0 && rc != ENODATA)
		abort();
	if (rc == ENODATA) {
		const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&stats);
		for (size_t i = 0; i < sizeof stats; i++)
			if (bytes[i] != 0xAB)
				abort();
	} else {
		check_traffic(stats);
	}
	return 0;
}
