// parse_arp_table on arbitrary file content (through fmemopen), checked
// against a plain reading of the same text: the header line is skipped,
// then each row gives its 1st, 4th and 6th blank-separated word (at most
// 1023 bytes each) until a row is incomplete. Every field of every entry
// is NUL-terminated within its 1024 bytes, and the list is walked and
// freed.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "arp.h"

namespace {

struct Row {
	std::string ip, mac, device;
};

// The text as fgets and fscanf("%1023s %*s %*s %1023s %*s %1023s") read it.
class Reference {
public:
	Reference(const uint8_t *data, size_t size) : data_(data), size_(size) {}

	// false when there is no header line at all (an empty file).
	bool rows(std::vector<Row> &out) {
		if (size_ == 0)
			return false;
		// fgets into 1024 bytes: up to 1023 bytes, or through the newline.
		while (pos_ < size_ && pos_ < 1023) {
			if (data_[pos_++] == '\n')
				break;
		}
		for (;;) {
			Row row;
			if (!word(&row.ip, 1023) || !word(nullptr, 0) || !word(nullptr, 0) ||
			    !word(&row.mac, 1023) || !word(nullptr, 0) || !word(&row.device, 1023))
				return true;
			out.push_back(row);
		}
	}

private:
	static bool blank(uint8_t c) {
		return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
	}

	// Skips blanks, then reads one word of at most `max` bytes (0: no
	// limit) into `into` (NULL: skipped). false at the end of the text.
	bool word(std::string *into, size_t max) {
		while (pos_ < size_ && blank(data_[pos_]))
			pos_++;
		if (pos_ == size_)
			return false;
		size_t start = pos_;
		while (pos_ < size_ && !blank(data_[pos_]) && (max == 0 || pos_ - start < max))
			pos_++;
		if (into != nullptr)
			into->assign(reinterpret_cast<const char *>(data_ + start), pos_ - start);
		return true;
	}

	const uint8_t *data_;
	size_t size_;
	size_t pos_ = 0;
};

bool field_is(const char *field, size_t size, const std::string &expected) {
	const char *end = static_cast<const char *>(memchr(field, '\0', size));
	if (end == nullptr)
		return false;
	// A NUL byte of the text ends the field's text early: compare up to it.
	std::string text(field, static_cast<size_t>(end - field));
	return text == expected.substr(0, expected.find('\0'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	if (size == 0 || size > 1 << 20)
		return 0;
	std::vector<uint8_t> text(data, data + size);
	FILE *table = fmemopen(text.data(), size, "r");
	if (table == nullptr)
		abort();
	ArpEntry *list = tarvik::parse_arp_table(table);
	fclose(table);

	std::vector<Row> expected;
	Reference(data, size).rows(expected);
	size_t i = 0;
	for (ArpEntry *e = list; e != nullptr; e = e->next, i++) {
		if (i >= expected.size())
			abort();
		if (!field_is(e->ip, sizeof e->ip, expected[i].ip) ||
		    !field_is(e->mac, sizeof e->mac, expected[i].mac) ||
		    !field_is(e->device, sizeof e->device, expected[i].device))
			abort();
	}
	if (i != expected.size())
		abort();
	cleanup_arp_cache(list);
	return 0;
}
