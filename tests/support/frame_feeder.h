// Drives the answer framing (lib/http/framing.h) over an input cut into
// slices, as a socket would hand them over; shared by its unit test and
// its fuzz target.
#ifndef TARVIK_FRAME_FEEDER_H
#define TARVIK_FRAME_FEEDER_H

#include <stdlib.h>

#include <string>
#include <vector>

#include "framing.h"

namespace testing_support {

struct Framed {
	tarvik::FrameState state = tarvik::FrameState::StatusLine;
	// What the head said (at HeadDone).
	int status = 0;
	bool has_length = false;
	uint64_t length = 0;
	bool chunked = false;
	std::string location;
	std::string body;
	size_t taken = 0; // bytes of the input that were answer
};

// Feeds `input` cut at the ascending offsets `cuts`, each slice in a block
// of exactly its size (so a read past it is caught under ASan), starting
// the body at the head's end; reports the close after the last byte when
// `closed`. Aborts when the framing claims more bytes than it was given.
inline Framed feed_framer(const std::string &input, const std::vector<size_t> &cuts, bool closed) {
	tarvik::HttpFramer f = {};
	tarvik::framer_reset(&f);
	Framed out;
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
			if (f.state == tarvik::FrameState::HeadDone) {
				out.status = f.status;
				out.has_length = f.has_length;
				out.length = f.length;
				out.chunked = f.chunked;
				out.location = f.location ? f.location : "";
				tarvik::framer_body_start(&f);
			} else if (used < n) {
				stopped = true; // Done or Broken
				break;
			}
		}
		out.taken = start + at;
		start = end;
	}
	if (closed && !stopped)
		tarvik::framer_close(&f);
	out.state = f.state;
	tarvik::framer_release(&f);
	return out;
}

} // namespace testing_support

#endif
