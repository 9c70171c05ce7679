// The text of olsr-kavond --check: findings of one line each, beginning
// with "ok", "warn" or "FAIL", wrapped to a terminal's width, with a hint
// under each warn and FAIL. Pure formatting: nothing here runs a stage.
#ifndef OLSR_KAVOND_CHECK_REPORT_H
#define OLSR_KAVOND_CHECK_REPORT_H

#include <stdarg.h>
#include <stddef.h>
#include <string.h>

namespace kavond {

// No line is longer: the check is read in a terminal on the router.
constexpr size_t kWidth = 79;

enum Level { kOk, kWarn, kFail };

// The lead of a finding's first line ("ok   ", "warn ", "FAIL ").
const char *lead(Level level);

// The leads of a finding's further lines and of its hint.
constexpr char kIndent[] = "     ";
constexpr char kHintLead[] = "     hint: ";
constexpr char kHintIndent[] = "           ";

// A text from outside (a daemon's answer, an interface name) made fit for
// the terminal: control characters and bytes outside ASCII become "?",
// and a text longer than `max` characters (at most 79) is cut, ending in
// "..."; NULL reads "(none)".
class Clean {
public:
	explicit Clean(const char *text, size_t max = 40);
	const char *c_str() const { return buf_; }

private:
	char buf_[80];
};

// Formats into a fixed buffer of 1024 bytes; a text that does not fit is
// cut.
class Text {
public:
	__attribute__((format(printf, 2, 3))) Text &add(const char *format, ...);
	Text &addv(const char *format, va_list ap);
	const char *c_str() const { return buf_; }
	bool empty() const { return len_ == 0; }

private:
	char buf_[1024] = "";
	size_t len_ = 0;
};

// Splits `text` into lines of at most kWidth columns and hands each to
// `emit(line, length)` (not NUL-terminated): the first begins with
// `first`, each further one with `rest` (both shorter than a line). Breaks
// at blanks; a word longer than a line is cut. "\n" in `text` starts a
// new line.
template <class Emit>
void wrap(const char *first, const char *rest, const char *text, Emit emit) {
	char out[kWidth + 1];
	const char *prefix = first;
	const char *p = text;
	for (;;) {
		size_t start = strlen(prefix);
		memcpy(out, prefix, start);
		size_t len = start;
		while (*p == ' ')
			p++;
		while (*p != '\0' && *p != '\n') {
			size_t word = strcspn(p, " \n");
			size_t gap = len > start ? 1 : 0;
			if (len + gap + word <= kWidth) {
				if (gap)
					out[len++] = ' ';
				memcpy(out + len, p, word);
				len += word;
				p += word;
				while (*p == ' ')
					p++;
			} else {
				if (len == start) { // a word longer than a line
					memcpy(out + len, p, kWidth - len);
					p += kWidth - len;
					len = kWidth;
				}
				break;
			}
		}
		emit(out, len);
		if (*p == '\n')
			p++;
		if (*p == '\0')
			return;
		prefix = rest;
	}
}

// Prints a finding and its hint (NULL: none) on standard output, wrapped.
void print_finding(Level level, const char *text, const char *hint);

} // namespace kavond

#endif
