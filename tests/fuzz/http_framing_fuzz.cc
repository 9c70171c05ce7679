// The answer framing on arbitrary bytes, fed whole and cut at points drawn
// from the input itself: verdict, head and body must be the same either
// way, the body never longer than the bytes given or than a Content-Length
// that frames it, and nothing read past a slice.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "frame_feeder.h"

using testing_support::feed_framer;
using testing_support::Framed;
using tarvik::FrameState;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	// The first byte: the close or not, and a seed for the cuts.
	if (size < 1)
		return 0;
	bool closed = data[0] & 1;
	uint32_t seed = data[0] * 2654435761u + static_cast<uint32_t>(size);
	std::string input(reinterpret_cast<const char *>(data) + 1, size - 1);

	std::vector<size_t> cuts;
	for (size_t at = 0;;) {
		seed = seed * 1103515245u + 12345u;
		at += 1 + (seed >> 16) % 64;
		if (at >= input.size())
			break;
		cuts.push_back(at);
	}
	Framed whole = feed_framer(input, {}, closed);
	Framed cut = feed_framer(input, cuts, closed);
	if (whole.state != cut.state || whole.body != cut.body || whole.status != cut.status ||
	    whole.has_length != cut.has_length || whole.length != cut.length ||
	    whole.chunked != cut.chunked || whole.location != cut.location)
		abort();
	if (whole.body.size() > input.size())
		abort();
	if (whole.has_length && whole.body.size() > whole.length)
		abort();
	if (whole.state == FrameState::Done && whole.has_length && whole.body.size() != whole.length &&
	    whole.status / 100 != 1 && whole.status != 204 && whole.status != 304)
		abort();
	return 0;
}
