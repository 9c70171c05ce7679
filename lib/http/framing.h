// HTTP/1.x response framing: fed the bytes of one answer in slices of any
// size, it finds the status line, the header lines the client needs, and
// where the body starts and ends (Content-Length, chunked, or the close).
// It touches no socket, so tests and the fuzz target drive it directly.
//
// Bounds: the head (status line and every header line, counted whole,
// including lines that are otherwise ignored) is at most kMaxHeadBytes;
// each chunk-size line and the trailer block have bounds of their own.
// Beyond any of them the answer is broken, and the framer keeps why.
#ifndef TARVIK_HTTP_FRAMING_H
#define TARVIK_HTTP_FRAMING_H

#include <stddef.h>
#include <stdint.h>

#include "tarvik.h"

namespace tarvik {

constexpr size_t kMaxHeadBytes = TARVIK_MAX_HEAD_BYTES;

enum class FrameState : uint8_t {
	StatusLine,
	HeaderLines,
	HeadDone,  // the head is whole: the caller looks at it, then body_start
	Body,      // Content-Length or close-delimited body
	ChunkSize, // a chunk-size line (extensions skipped)
	ChunkData,
	ChunkEnd,  // the line break after a chunk's data
	Trailers,  // trailer lines, skipped
	Done,      // the answer is whole; bytes after it are not answer
	Broken,    // not HTTP, a conflict in framing, or a bound exceeded
};

// Why an answer is broken; framer_error_text names it.
enum class FrameError : uint8_t {
	None,
	StatusLine,
	HeaderLine,
	LengthNotNumber,
	LengthsDiffer,
	HeadTooLong,
	ChunkSize,
	ChunkLineTooLong,
	ChunkEnd,
	TrailersTooLong,
	NoMemory,
	ClosedInHead,
	ClosedInBody,
};

const char *framer_error_text(FrameError error);

// The parts of a chunk-size line: hex digits, blanks, then ";" and an
// extension, and the line end (CR, then LF; or a bare LF). The CR after
// a chunk's data is noted as CarriageReturn too.
enum class ChunkLine : uint8_t { Digits, Blanks, Extension, CarriageReturn };

struct HttpFramer {
	// What the head said; valid from HeadDone on.
	int status;
	bool has_length;     // framed by Content-Length (never with chunked)
	uint64_t length;     // the one Content-Length, saturated at UINT64_MAX
	bool chunked;
	char *location;      // the Location value (malloc'd), or NULL

	FrameState state;
	FrameError error;    // why the state is Broken

	// Internal.
	bool length_seen;    // a Content-Length line, chunked or not
	uint64_t remaining;  // of the body or of the current chunk
	size_t head_bytes;   // head (or trailer) bytes taken so far
	char *line;          // the header line being gathered
	size_t line_len;
	size_t line_cap;
	bool chunk_digits;   // the chunk-size line has had a digit
	ChunkLine chunk_at;  // where in a chunk-size line (or chunk end) it is
};

// Starts `f` afresh for a new answer; what a former answer left is released.
void framer_reset(HttpFramer *f);
// Releases what the framer holds; it may be reset and used again.
void framer_release(HttpFramer *f);

// Takes bytes [data, data + len). Body bytes are moved to the front of
// `data` (never overtaking bytes still to be read) and counted in
// *body_len. Returns how many bytes were taken: fewer than `len` only when
// the framer stopped at HeadDone, Done or Broken. At HeadDone the caller
// calls framer_body_start before feeding more.
size_t framer_feed(HttpFramer *f, char *data, size_t len, size_t *body_len);

// Leaves HeadDone: the body follows (or the answer is Done when it has
// none: status 1xx, 204, 304, or a Content-Length of 0).
void framer_body_start(HttpFramer *f);

// The peer closed the connection: a close-delimited body is Done; every
// other unfinished answer is Broken. Returns whether the answer is whole.
bool framer_close(HttpFramer *f);

} // namespace tarvik

#endif
