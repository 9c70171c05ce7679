// The answer framing on its own: every case is fed whole and a byte at a
// time, and both must give the same verdict and body.
#include <gtest/gtest.h>

#include <string>

#include "frame_feeder.h"
#include "framing.h"

using testing_support::feed_framer;
using testing_support::Framed;
using tarvik::FrameState;
using tarvik::HttpFramer;

namespace {

// The verdict and body, the same whether fed whole or a byte at a time.
Framed frame_both(const std::string &input, bool closed = false) {
	Framed whole = feed_framer(input, {}, closed);
	std::vector<size_t> every_byte;
	for (size_t at = 1; at < input.size(); at++)
		every_byte.push_back(at);
	Framed bytes = feed_framer(input, every_byte, closed);
	EXPECT_EQ(whole.state, bytes.state);
	EXPECT_EQ(whole.body, bytes.body);
	if (whole.state != FrameState::Broken) { // where it broke may differ
		EXPECT_EQ(whole.taken, bytes.taken);
	}
	return whole;
}

const std::string kOk = "HTTP/1.1 200 OK\r\n";

TEST(HttpFraming, BodiesByEveryFraming) {
	struct Case {
		const char *name;
		std::string input;
		bool closed;
		FrameState state;
		std::string body;
	} cases[] = {
	    {"length", kOk + "Content-Length: 5\r\n\r\nhello", false, FrameState::Done, "hello"},
	    {"length, close not needed", kOk + "Content-Length: 5\r\n\r\nhello", true,
	     FrameState::Done, "hello"},
	    {"length cut", kOk + "Content-Length: 5\r\n\r\nhel", true, FrameState::Broken, "hel"},
	    {"length awaited", kOk + "Content-Length: 5\r\n\r\nhel", false, FrameState::Body, "hel"},
	    {"HTTP/1.0, to the close", "HTTP/1.0 200 OK\r\n\r\nabc", true, FrameState::Done, "abc"},
	    {"to the close, still open", kOk + "\r\nabc", false, FrameState::Body, "abc"},
	    {"bare line feeds", "HTTP/1.1 200 OK\ncontent-LENGTH: 3\n\nabc", false, FrameState::Done,
	     "abc"},
	    {"empty length", kOk + "Content-Length:\r\n\r\n", false, FrameState::Done, ""},
	    {"chunked", kOk + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\nA\r\n0123456789\r\n0\r\n\r\n",
	     false, FrameState::Done, "abc0123456789"},
	    {"chunked, extensions and trailers",
	     kOk + "Transfer-Encoding: gzip, Chunked\r\n\r\n3;x=\"y\"\r\nabc\r\n0 ;z\r\nX-T: 1\r\n\r\n",
	     false, FrameState::Done, "abc"},
	    {"chunked, bare line feeds", kOk + "Transfer-Encoding: chunked\r\n\r\n2\nab\n0\n\n", false,
	     FrameState::Done, "ab"},
	    {"chunked wins over length",
	     kOk + "Content-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n", false,
	     FrameState::Done, "x"},
	    {"other coding: to the close", kOk + "Transfer-Encoding: gzip\r\n\r\nzz", true,
	     FrameState::Done, "zz"},
	    {"chunked cut by the close", kOk + "Transfer-Encoding: chunked\r\n\r\n5\r\nab", true,
	     FrameState::Broken, "ab"},
	    {"chunk without its line end", kOk + "Transfer-Encoding: chunked\r\n\r\n1\r\nxy", false,
	     FrameState::Broken, "x"},
	    {"chunk size without digits", kOk + "Transfer-Encoding: chunked\r\n\r\n;x\r\n", false,
	     FrameState::Broken, ""},
	    {"chunk size past 2^64",
	     kOk + "Transfer-Encoding: chunked\r\n\r\n10000000000000000\r\n", false,
	     FrameState::Broken, ""},
	    {"largest chunk size", kOk + "Transfer-Encoding: chunked\r\n\r\nffffffffffffffff\r\nab",
	     false, FrameState::ChunkData, "ab"},
	    {"chunk size, blanks before the line end",
	     kOk + "Transfer-Encoding: chunked\r\n\r\n3 \t\r\nabc\r\n0\r\n\r\n", false,
	     FrameState::Done, "abc"},
	    {"chunk size 0x5", kOk + "Transfer-Encoding: chunked\r\n\r\n0x5\r\nhello\r\n0\r\n\r\n",
	     true, FrameState::Broken, ""},
	    {"chunk size 5 7", kOk + "Transfer-Encoding: chunked\r\n\r\n5 7\r\nhello\r\n0\r\n\r\n",
	     true, FrameState::Broken, ""},
	    {"chunk size, CR inside", kOk + "Transfer-Encoding: chunked\r\n\r\n5\rx\r\nhello", true,
	     FrameState::Broken, ""},
	    {"bare CR in the status line", "HTTP/1.1 200 OK\rContent-Length: 2\r\n\r\nab", true,
	     FrameState::Broken, ""},
	    {"bare CR in a header line", kOk + "X-A: 1\rContent-Length: 2\r\n\r\nab", true,
	     FrameState::Broken, ""},
	    {"no body for 204", "HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n", false,
	     FrameState::Done, ""},
	    {"no body for 304", "HTTP/1.1 304 Not Modified\r\n\r\n", false, FrameState::Done, ""},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.name);
		Framed f = frame_both(c.input, c.closed);
		EXPECT_EQ(f.state, c.state);
		EXPECT_EQ(f.body, c.body);
	}
}

TEST(HttpFraming, WhatTheHeadSays) {
	Framed f = frame_both("HTTP/1.1 302 Found\r\nlocation:  /x y \r\nContent-Length: +0\r\n\r\n");
	EXPECT_EQ(f.status, 302);
	EXPECT_EQ(f.location, "/x y");
	EXPECT_TRUE(f.has_length);
	EXPECT_EQ(f.length, 0u);
	Framed g = frame_both(kOk + "Transfer-Encoding: chunked\r\nContent-Length: 4\r\n\r\n");
	EXPECT_TRUE(g.chunked);
	EXPECT_FALSE(g.has_length);
	Framed h = frame_both("HTTP/1.0 404\r\n\r\n");
	EXPECT_EQ(h.status, 404);
	EXPECT_FALSE(h.has_length);
}

TEST(HttpFraming, ContentLengthIsDecidedOnce) {
	struct Case {
		std::string lines;
		bool ok;
		uint64_t length;
	} cases[] = {
	    {"Content-Length: 12\r\n", true, 12},
	    {"Content-Length: \t 12 \r\n", true, 12},
	    {"Content-Length: +12\r\n", true, 12},
	    {"Content-Length: 12\r\ncontent-length: 12\r\nCONTENT-LENGTH: 012\r\n", true, 12},
	    {"Content-Length: 99999999999999999999999\r\n", true, UINT64_MAX},
	    {"Content-Length: 12\r\nContent-Length: 13\r\n", false, 0},
	    {"Content-Length: 12\r\nContent-Length: abc\r\n", false, 0},
	    {"Content-Length: abc\r\n", false, 0},
	    {"Content-Length: 12abc\r\n", false, 0},
	    {"Content-Length: -5\r\n", false, 0},
	    {"Content-Length: 1 2\r\n", false, 0},
	    {"Content-Length: 12, 12\r\n", false, 0},
	    {"Content-Length: +\r\n", false, 0},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.lines);
		Framed f = frame_both(kOk + c.lines + "\r\n");
		if (!c.ok) {
			EXPECT_EQ(f.state, FrameState::Broken);
			continue;
		}
		EXPECT_TRUE(f.has_length);
		EXPECT_EQ(f.length, c.length);
	}
}

TEST(HttpFraming, WhatIsNotHttpIsBroken) {
	for (std::string input : {
	         std::string("HELLO\r\n\r\n"),
	         std::string("HTTP/1.1 20 OK\r\n\r\n"),
	         std::string("HTTP/1.1 200OK\r\n\r\n"),
	         std::string("HTTP/x.1 200 OK\r\n\r\n"),
	         std::string("\r\n"),
	         kOk + "no colon here\r\n\r\n",
	         kOk + ": no name\r\n\r\n",
	         kOk + "Name : blank before the colon\r\n\r\n",
	         kOk + "X-A: 1\r\n folded\r\n\r\n",
	     }) {
		SCOPED_TRACE(input);
		EXPECT_EQ(frame_both(input).state, FrameState::Broken);
	}
}

TEST(HttpFraming, BytesAfterTheAnswerAreNotTaken) {
	std::string answer = kOk + "Content-Length: 2\r\n\r\nok";
	Framed f = frame_both(answer + "SURPLUS");
	EXPECT_EQ(f.state, FrameState::Done);
	EXPECT_EQ(f.body, "ok");
	EXPECT_EQ(f.taken, answer.size());
	std::string chunked = kOk + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n";
	EXPECT_EQ(frame_both(chunked + "MORE").taken, chunked.size());
}

TEST(HttpFraming, HeadBlockBoundCountsEveryLine) {
	// Lines that fill the bound exactly, repeats of Content-Length among
	// them and the empty line that ends the head counted, are a head; one
	// byte more is not.
	std::string lines = kOk;
	while (lines.size() + 100 < tarvik::kMaxHeadBytes)
		lines += "Content-Length: 0\r\n";
	size_t fill = tarvik::kMaxHeadBytes - lines.size() - 2;
	std::string exact = lines + "X: " + std::string(fill - 5, 'x') + "\r\n\r\n";
	ASSERT_EQ(exact.size(), tarvik::kMaxHeadBytes);
	EXPECT_EQ(frame_both(exact).state, FrameState::Done);
	std::string over = lines + "X: " + std::string(fill - 4, 'x') + "\r\n\r\n";
	EXPECT_EQ(frame_both(over).state, FrameState::Broken);
	// One line longer than the bound, never ended.
	EXPECT_EQ(feed_framer(kOk + "X: " + std::string(tarvik::kMaxHeadBytes, 'x'), {}, false).state,
	          FrameState::Broken);
}

TEST(HttpFraming, ChunkLinesAndTrailersAreBounded) {
	std::string chunked = kOk + "Transfer-Encoding: chunked\r\n\r\n";
	EXPECT_EQ(frame_both(chunked + "1;" + std::string(4000, 'e') + "\r\nx\r\n0\r\n\r\n").state,
	          FrameState::Done);
	EXPECT_EQ(feed_framer(chunked + "1;" + std::string(5000, 'e'), {}, false).state, FrameState::Broken);
	std::string trailers;
	while (trailers.size() <= tarvik::kMaxHeadBytes)
		trailers += "X-Trailer: 1\r\n";
	EXPECT_EQ(feed_framer(chunked + "0\r\n" + trailers, {}, false).state, FrameState::Broken);
}

TEST(HttpFraming, ResetStartsAFreshAnswer) {
	HttpFramer f = {};
	tarvik::framer_reset(&f);
	std::string first = "HTTP/1.1 301 Moved\r\nLocation: /a\r\nContent-Length: 5\r\n\r\n";
	size_t body = 0;
	tarvik::framer_feed(&f, &first[0], first.size(), &body);
	ASSERT_EQ(f.state, FrameState::HeadDone);
	tarvik::framer_reset(&f);
	std::string second = kOk + "\r\n";
	tarvik::framer_feed(&f, &second[0], second.size(), &body);
	EXPECT_EQ(f.state, FrameState::HeadDone);
	EXPECT_EQ(f.status, 200);
	EXPECT_EQ(f.location, nullptr);
	EXPECT_FALSE(f.has_length);
	tarvik::framer_release(&f);
}

} // namespace
