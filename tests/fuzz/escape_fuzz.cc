// curl_easy_escape on arbitrary bytes, checked against a plain reference:
// bytes up to and including the third "/" unchanged, then every byte that
// is not unreserved as "%XX".
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tarvik.h"

static std::string reference(const uint8_t *data, size_t size) {
	static const char hex[] = "0123456789ABCDEF";
	std::string out;
	int slashes = 0;
	for (size_t i = 0; i < size; i++) {
		uint8_t c = data[i];
		bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
		                  (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
		if (slashes < 3) {
			slashes += c == '/';
			out += static_cast<char>(c);
		} else if (unreserved) {
			out += static_cast<char>(c);
		} else {
			out += '%';
			out += hex[c >> 4];
			out += hex[c & 15];
		}
	}
	return out;
}

// The output is compared byte for byte: a NUL before the third "/" is
// copied unchanged like any other byte.
static bool same(const char *out, const std::string &expected) {
	return out != nullptr && memcmp(out, expected.data(), expected.size()) == 0 &&
	       out[expected.size()] == '\0';
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	if (size == 0 || size > 100000)
		return 0;
	// With an explicit length: every byte counts, NULs included.
	char *out = curl_easy_escape(reinterpret_cast<const char *>(data), static_cast<int>(size));
	if (!same(out, reference(data, size)))
		abort();
	free(out);
	// With length 0: up to the first NUL.
	std::string text(reinterpret_cast<const char *>(data), size);
	text = text.c_str();
	out = curl_easy_escape(text.c_str(), 0);
	if (!same(out, reference(reinterpret_cast<const uint8_t *>(text.data()), text.size())))
		abort();
	free(out);
	return 0;
}
