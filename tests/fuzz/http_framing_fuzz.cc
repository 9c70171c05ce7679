// The answer framing on arbitrary bytes, fed whole and cut at points drawn
// from the input itself: verdict, head and body must be the same either
// way, the body never longer than the bytes given or than a Content-Length
// that frames it, and nothing read past a slice.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "http_framing.h"

using tarvik::FrameState;
using tarvik::HttpFramer;

namespace {

struct Outcome {
	FrameState state;
	int status = 0;
	bool has_length = false;
	uint64_t length = 0;
	bool chunked = false;
	std::string location;
	std::string body;
};

// Feeds `input` in the slices that `cuts` (ascending offsets) make; each
// slice is a block of its own, as recv would fill it. The close follows
// the last byte when `closed`.
Outcome run(const std::string &input, const std::vector<size_t> &cuts, bool closed) {
	HttpFramer f = {};
	tarvik::framer_reset(&f);
	Outcome out;
	size_t start = 0;
	bool stopped = false;
	for (size_t i = 0; i <= cuts.size() && !stopped; i++) {
		size_t end = i < cuts.size() ? cuts[i] : input.size();
		std::vector<char> block(input.begin() + start, input.begin() + end);
		size_t at = 0;
		while (at < block.size()) {
			size_t body = 0;
			size_t n = block.size() - at;
			size_t used = tarvik::framer_feed(&f, block.data() + at, n, &body);
			if (used > n || body > used)
				abort();
			out.body.append(block.data() + at, body);
			at += used;
			if (f.state == FrameState::HeadDone) {
				out.status = f.status;
				out.has_length = f.has_length;
				out.length = f.length;
				out.chunked = f.chunked;
				out.location = f.location ? f.location : "";
				tarvik::framer_body_start(&f);
			} else if (used < n) {
				stopped = true;
				break;
			}
		}
		start = end;
	}
	if (closed && !stopped)
		tarvik::framer_close(&f);
	out.state = f.state;
	tarvik::framer_release(&f);
	return out;
}

} // namespace

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
	Outcome whole = run(input, {}, closed);
	Outcome cut = run(input, cuts, closed);
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
