// A checker for JSON as the mesh's collectors accept it (RFC 8259): no
// NaN or Infinity, numbers in the JSON grammar only, strings without raw
// control characters, optionally valid UTF-8. Used by the fuzz targets on
// every text the program would print.
#ifndef TARVIK_FUZZ_STRICT_JSON_H
#define TARVIK_FUZZ_STRICT_JSON_H

#include <stddef.h>
#include <stdint.h>

namespace strict_json {

// True when the `size` bytes at `text` are valid UTF-8 (no overlong forms,
// no surrogates, nothing above U+10FFFF).
inline bool valid_utf8(const unsigned char *text, size_t size) {
	size_t i = 0;
	while (i < size) {
		unsigned char c = text[i];
		size_t extra;
		uint32_t code;
		if (c < 0x80) {
			i++;
			continue;
		} else if ((c & 0xE0) == 0xC0) {
			extra = 1;
			code = c & 0x1F;
		} else if ((c & 0xF0) == 0xE0) {
			extra = 2;
			code = c & 0x0F;
		} else if ((c & 0xF8) == 0xF0) {
			extra = 3;
			code = c & 0x07;
		} else {
			return false;
		}
		if (size - i <= extra)
			return false;
		for (size_t k = 1; k <= extra; k++) {
			if ((text[i + k] & 0xC0) != 0x80)
				return false;
			code = code << 6 | (text[i + k] & 0x3F);
		}
		static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
		if (code < kMin[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
			return false;
		i += extra + 1;
	}
	return true;
}

class Checker {
public:
	Checker(const char *text, size_t size) : p_(text), end_(text + size) {}

	// The whole text is one JSON value, with blanks around it at most.
	bool document() {
		blanks();
		if (!value(0))
			return false;
		blanks();
		return p_ == end_;
	}

private:
	static constexpr int kMaxDepth = 512;

	bool at(char c) const { return p_ < end_ && *p_ == c; }
	bool digit() const { return p_ < end_ && *p_ >= '0' && *p_ <= '9'; }

	void blanks() {
		while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r'))
			p_++;
	}

	bool word(const char *w) {
		for (; *w != '\0'; w++, p_++)
			if (p_ == end_ || *p_ != *w)
				return false;
		return true;
	}

	bool value(int depth) {
		if (depth > kMaxDepth || p_ == end_)
			return false;
		switch (*p_) {
		case '{':
			return object(depth);
		case '[':
			return array(depth);
		case '"':
			return string();
		case 't':
			return word("true");
		case 'f':
			return word("false");
		case 'n':
			return word("null");
		default:
			return number();
		}
	}

	bool object(int depth) {
		p_++; // {
		blanks();
		if (at('}')) {
			p_++;
			return true;
		}
		for (;;) {
			if (!at('"') || !string())
				return false;
			blanks();
			if (!at(':'))
				return false;
			p_++;
			blanks();
			if (!value(depth + 1))
				return false;
			blanks();
			if (at('}')) {
				p_++;
				return true;
			}
			if (!at(','))
				return false;
			p_++;
			blanks();
		}
	}

	bool array(int depth) {
		p_++; // [
		blanks();
		if (at(']')) {
			p_++;
			return true;
		}
		for (;;) {
			if (!value(depth + 1))
				return false;
			blanks();
			if (at(']')) {
				p_++;
				return true;
			}
			if (!at(','))
				return false;
			p_++;
			blanks();
		}
	}

	bool string() {
		p_++; // "
		while (p_ < end_) {
			unsigned char c = static_cast<unsigned char>(*p_++);
			if (c == '"')
				return true;
			if (c < 0x20)
				return false;
			if (c != '\\')
				continue;
			if (p_ == end_)
				return false;
			char e = *p_++;
			if (e == 'u') {
				for (int k = 0; k < 4; k++, p_++) {
					if (p_ == end_)
						return false;
					char h = *p_;
					if (!((h >= '0' && h <= '9') || (h >= 'a' && h <= 'f') ||
					      (h >= 'A' && h <= 'F')))
						return false;
				}
			} else if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f' && e != 'n' &&
			           e != 'r' && e != 't') {
				return false;
			}
		}
		return false;
	}

	// -? (0 | [1-9][0-9]*) (.[0-9]+)? ([eE][+-]?[0-9]+)?
	bool number() {
		if (at('-'))
			p_++;
		if (at('0')) {
			p_++;
		} else if (digit()) {
			while (digit())
				p_++;
		} else {
			return false;
		}
		if (at('.')) {
			p_++;
			if (!digit())
				return false;
			while (digit())
				p_++;
		}
		if (at('e') || at('E')) {
			p_++;
			if (at('+') || at('-'))
				p_++;
			if (!digit())
				return false;
			while (digit())
				p_++;
		}
		return true;
	}

	const char *p_;
	const char *end_;
};

// True when `text` (`size` bytes) is one strict JSON value.
inline bool valid(const char *text, size_t size) { return Checker(text, size).document(); }

} // namespace strict_json

#endif
