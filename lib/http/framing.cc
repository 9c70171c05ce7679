// HTTP/1.x response framing. Lines of the head are gathered whole (the
// head is bounded, so the gathering is too) and read one at a time; body
// framing works on the bytes as they come, without copying them anywhere
// but to the front of the slice they arrived in.
#include "framing.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

namespace tarvik {

namespace {

// A chunk-size line (hex digits, extensions) and the trailer block are
// bounded too: a peer that never ends them must not hold the client.
constexpr size_t kMaxChunkLine = 4096;
constexpr size_t kMaxTrailerBytes = kMaxHeadBytes;

bool blank(char c) { return c == ' ' || c == '\t'; }

int hex_value(char c) {
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

void broken(HttpFramer *f, FrameError why) {
	f->state = FrameState::Broken;
	f->error = why;
}

// "HTTP/d.d SP ddd [SP reason]".
void take_status_line(HttpFramer *f, const char *s, size_t n) {
	if (n < 12 || memcmp(s, "HTTP/", 5) != 0 || s[5] < '0' || s[5] > '9' || s[6] != '.' ||
	    s[7] < '0' || s[7] > '9' || s[8] != ' ') {
		broken(f, FrameError::StatusLine);
		return;
	}
	int status = 0;
	for (size_t i = 9; i < 12; i++) {
		if (s[i] < '0' || s[i] > '9') {
			broken(f, FrameError::StatusLine);
			return;
		}
		status = status * 10 + (s[i] - '0');
	}
	if (n > 12 && s[12] != ' ') {
		broken(f, FrameError::StatusLine);
		return;
	}
	f->status = status;
	f->state = FrameState::HeaderLines;
}

// The one place that reads Content-Length: decimal digits, with a plus
// sign allowed in front; an empty value is 0; values past 2^64 saturate
// (far above any bound, so refused like any too-long body). Every
// repeat must carry the same value.
void take_content_length(HttpFramer *f, const char *v, size_t n) {
	size_t i = 0;
	if (n > 0 && v[0] == '+')
		i = 1;
	if (i == n && n != 0) {
		broken(f, FrameError::LengthNotNumber);
		return;
	}
	uint64_t value = 0;
	for (; i < n; i++) {
		if (v[i] < '0' || v[i] > '9') {
			broken(f, FrameError::LengthNotNumber);
			return;
		}
		unsigned digit = static_cast<unsigned>(v[i] - '0');
		value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
	}
	if (f->length_seen && value != f->length) {
		broken(f, FrameError::LengthsDiffer);
		return;
	}
	f->length_seen = true;
	f->length = value;
}

// The last coding of Transfer-Encoding decides: chunked, or the body runs
// to the close.
void take_transfer_encoding(HttpFramer *f, const char *v, size_t n) {
	const char *comma = static_cast<const char *>(memrchr(v, ',', n));
	const char *last = comma != nullptr ? comma + 1 : v;
	size_t len = static_cast<size_t>(v + n - last);
	while (len > 0 && blank(*last)) {
		last++;
		len--;
	}
	f->chunked = len == 7 && strncasecmp(last, "chunked", 7) == 0;
}

void take_header_line(HttpFramer *f, char *s, size_t n) {
	if (n == 0) {
		f->has_length = f->length_seen && !f->chunked;
		f->state = FrameState::HeadDone;
		return;
	}
	const char *colon = static_cast<const char *>(memchr(s, ':', n));
	// No name, a folded line, or a name with blanks: not HTTP we take.
	if (colon == nullptr || colon == s || blank(s[0]) || blank(colon[-1])) {
		broken(f, FrameError::HeaderLine);
		return;
	}
	size_t name_len = static_cast<size_t>(colon - s);
	char *v = s + name_len + 1;
	size_t v_len = n - name_len - 1;
	while (v_len > 0 && blank(v[0])) {
		v++;
		v_len--;
	}
	while (v_len > 0 && blank(v[v_len - 1]))
		v_len--;
	if (name_len == 14 && strncasecmp(s, "content-length", 14) == 0) {
		take_content_length(f, v, v_len);
	} else if (name_len == 17 && strncasecmp(s, "transfer-encoding", 17) == 0) {
		take_transfer_encoding(f, v, v_len);
	} else if (name_len == 8 && strncasecmp(s, "location", 8) == 0) {
		char *copy = strndup(v, v_len);
		if (copy == nullptr) {
			broken(f, FrameError::NoMemory);
			return;
		}
		free(f->location);
		f->location = copy;
	}
}

// One whole line (its line break taken off) of the head or the trailers.
void take_line(HttpFramer *f, char *s, size_t n) {
	if (n > 0 && s[n - 1] == '\r')
		n--;
	// A CR anywhere else would hide what follows it on the line.
	if (f->state != FrameState::Trailers && memchr(s, '\r', n) != nullptr) {
		broken(f, f->state == FrameState::StatusLine ? FrameError::StatusLine
		                                             : FrameError::HeaderLine);
		return;
	}
	switch (f->state) {
	case FrameState::StatusLine:
		take_status_line(f, s, n);
		break;
	case FrameState::HeaderLines:
		take_header_line(f, s, n);
		break;
	default: // trailers: skipped, up to the empty line
		if (n == 0)
			f->state = FrameState::Done;
		break;
	}
}

bool line_append(HttpFramer *f, const char *s, size_t n) {
	if (n > f->line_cap - f->line_len) {
		size_t cap = f->line_cap != 0 ? f->line_cap : 256;
		while (n > cap - f->line_len)
			cap *= 2;
		char *grown = static_cast<char *>(realloc(f->line, cap));
		if (grown == nullptr)
			return false;
		f->line = grown;
		f->line_cap = cap;
	}
	memcpy(f->line + f->line_len, s, n);
	f->line_len += n;
	return true;
}

// Takes head or trailer bytes from data[at, len) up to one line end.
size_t feed_line(HttpFramer *f, char *data, size_t at, size_t len) {
	size_t limit = f->state == FrameState::Trailers ? kMaxTrailerBytes : kMaxHeadBytes;
	const char *lf = static_cast<const char *>(memchr(data + at, '\n', len - at));
	size_t n = lf != nullptr ? static_cast<size_t>(lf - (data + at)) + 1 : len - at;
	if (n > limit - f->head_bytes) {
		broken(f, f->state == FrameState::Trailers ? FrameError::TrailersTooLong
		                                           : FrameError::HeadTooLong);
		return at;
	}
	f->head_bytes += n;
	if (lf == nullptr) {
		if (!line_append(f, data + at, n))
			broken(f, FrameError::NoMemory);
		return len;
	}
	// A line wholly inside the slice is read where it is.
	if (f->line_len == 0) {
		take_line(f, data + at, n - 1);
	} else {
		if (!line_append(f, data + at, n - 1)) {
			broken(f, FrameError::NoMemory);
			return at;
		}
		take_line(f, f->line, f->line_len);
		f->line_len = 0;
	}
	return at + n;
}

// Hex digits, optional blanks, then ";" and an extension or the line end:
// anything else ("0x5", "5 7") is no chunk size.
size_t feed_chunk_size(HttpFramer *f, const char *data, size_t at, size_t len) {
	while (at < len) {
		char c = data[at++];
		if (++f->head_bytes > kMaxChunkLine) {
			broken(f, FrameError::ChunkLineTooLong);
			return at;
		}
		if (c == '\n' && f->chunk_digits) {
			f->head_bytes = 0;
			f->state = f->remaining == 0 ? FrameState::Trailers : FrameState::ChunkData;
			return at;
		}
		int v = hex_value(c);
		bool fits = f->remaining <= (UINT64_MAX >> 4);
		if (f->chunk_at == ChunkLine::Digits && v >= 0 && fits) {
			f->remaining = f->remaining * 16 + static_cast<unsigned>(v);
			f->chunk_digits = true;
		} else if (!f->chunk_digits || f->chunk_at == ChunkLine::CarriageReturn) {
			broken(f, FrameError::ChunkSize);
			return at;
		} else if (c == '\r') {
			f->chunk_at = ChunkLine::CarriageReturn;
		} else if (f->chunk_at == ChunkLine::Extension || c == ';') {
			f->chunk_at = ChunkLine::Extension; // ";name=value": skipped
		} else if (blank(c)) {
			f->chunk_at = ChunkLine::Blanks;
		} else {
			broken(f, FrameError::ChunkSize);
			return at;
		}
	}
	return at;
}

} // namespace

const char *framer_error_text(FrameError error) {
	switch (error) {
	case FrameError::None:
		break;
	case FrameError::StatusLine:
		return "malformed status line";
	case FrameError::HeaderLine:
		return "malformed header line";
	case FrameError::LengthNotNumber:
		return "Content-Length is not a number";
	case FrameError::LengthsDiffer:
		return "two differing Content-Lengths";
	case FrameError::HeadTooLong:
		return "head over 64 KiB";
	case FrameError::ChunkSize:
		return "malformed chunk size";
	case FrameError::ChunkLineTooLong:
		return "chunk-size line over 4 KiB";
	case FrameError::ChunkEnd:
		return "chunk data not followed by a line break";
	case FrameError::TrailersTooLong:
		return "trailers over 64 KiB";
	case FrameError::NoMemory:
		return "out of memory";
	case FrameError::ClosedInHead:
		return "closed before the head ended";
	case FrameError::ClosedInBody:
		return "closed before the body ended";
	}
	return "no error";
}

void framer_reset(HttpFramer *f) {
	char *line = f->line;
	size_t cap = f->line_cap;
	free(f->location);
	memset(f, 0, sizeof *f);
	f->line = line; // kept for the next answer's lines
	f->line_cap = cap;
	f->state = FrameState::StatusLine;
}

void framer_release(HttpFramer *f) {
	free(f->location);
	free(f->line);
	memset(f, 0, sizeof *f);
}

size_t framer_feed(HttpFramer *f, char *data, size_t len, size_t *body_len) {
	*body_len = 0;
	size_t at = 0;
	while (at < len) {
		switch (f->state) {
		case FrameState::StatusLine:
		case FrameState::HeaderLines:
		case FrameState::Trailers:
			at = feed_line(f, data, at, len);
			break;
		case FrameState::Body:
		case FrameState::ChunkData: {
			size_t n = len - at;
			bool bounded = f->has_length || f->state == FrameState::ChunkData;
			if (bounded && n > f->remaining)
				n = static_cast<size_t>(f->remaining);
			if (*body_len != at)
				memmove(data + *body_len, data + at, n);
			*body_len += n;
			at += n;
			if (bounded) {
				f->remaining -= n;
				if (f->remaining == 0) {
					if (f->state == FrameState::Body) {
						f->state = FrameState::Done;
					} else {
						f->state = FrameState::ChunkEnd;
						f->chunk_at = ChunkLine::Digits;
					}
				}
			}
			break;
		}
		case FrameState::ChunkSize:
			at = feed_chunk_size(f, data, at, len);
			break;
		case FrameState::ChunkEnd: {
			// CRLF or a bare LF.
			char c = data[at++];
			if (c == '\n') {
				f->state = FrameState::ChunkSize;
				f->chunk_digits = false;
				f->chunk_at = ChunkLine::Digits;
				f->head_bytes = 0;
			} else if (c != '\r' || f->chunk_at == ChunkLine::CarriageReturn) {
				broken(f, FrameError::ChunkEnd);
			} else {
				f->chunk_at = ChunkLine::CarriageReturn;
			}
			break;
		}
		case FrameState::HeadDone:
		case FrameState::Done:
		case FrameState::Broken:
			return at;
		}
	}
	return at;
}

void framer_body_start(HttpFramer *f) {
	if (f->state != FrameState::HeadDone)
		return;
	f->head_bytes = 0;
	f->line_len = 0;
	if (f->status / 100 == 1 || f->status == 204 || f->status == 304) {
		f->state = FrameState::Done;
	} else if (f->chunked) {
		f->remaining = 0;
		f->chunk_digits = false;
		f->chunk_at = ChunkLine::Digits;
		f->state = FrameState::ChunkSize;
	} else if (f->has_length) {
		f->remaining = f->length;
		f->state = f->length == 0 ? FrameState::Done : FrameState::Body;
	} else {
		f->state = FrameState::Body;
	}
}

bool framer_close(HttpFramer *f) {
	if (f->state == FrameState::Body && !f->has_length)
		f->state = FrameState::Done;
	if (f->state != FrameState::Done && f->state != FrameState::Broken)
		broken(f, f->state == FrameState::StatusLine || f->state == FrameState::HeaderLines
		              ? FrameError::ClosedInHead
		              : FrameError::ClosedInBody);
	return f->state == FrameState::Done;
}

} // namespace tarvik
