// read_link_stats64 on arbitrary reply bytes: 0 or ENODATA, never a read
// past the bytes given, and no record written when nothing was found.
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "providers.h"

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
	}
	return 0;
}
