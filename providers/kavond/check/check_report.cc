#include "check_report.h"

#include <stdio.h>

namespace kavond {

const char *lead(Level level) {
	switch (level) {
	case kOk:
		return "ok   ";
	case kWarn:
		return "warn ";
	default:
		return "FAIL ";
	}
}

Clean::Clean(const char *text, size_t max) {
	if (text == nullptr)
		text = "(none)";
	if (max > sizeof buf_ - 1)
		max = sizeof buf_ - 1;
	size_t n = 0;
	for (; text[n] != '\0' && n < max; n++) {
		unsigned char c = static_cast<unsigned char>(text[n]);
		buf_[n] = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
	}
	if (text[n] != '\0' && n >= 3)
		memcpy(buf_ + n - 3, "...", 3);
	buf_[n] = '\0';
}

Text &Text::add(const char *format, ...) {
	va_list ap;
	va_start(ap, format);
	addv(format, ap);
	va_end(ap);
	return *this;
}

Text &Text::addv(const char *format, va_list ap) {
	int n = vsnprintf(buf_ + len_, sizeof buf_ - len_, format, ap);
	if (n > 0)
		len_ = len_ + static_cast<size_t>(n) < sizeof buf_ ? len_ + n : sizeof buf_ - 1;
	return *this;
}

void print_finding(Level level, const char *text, const char *hint) {
	auto print = [](const char *s, size_t n) {
		fwrite(s, 1, n, stdout);
		putchar('\n');
	};
	wrap(lead(level), kIndent, text, print);
	if (hint != nullptr)
		wrap(kHintLead, kHintIndent, hint, print);
}

} // namespace kavond
