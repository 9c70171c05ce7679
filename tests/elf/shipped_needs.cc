// What the shipped files need at run time: the NEEDED entries of each ELF
// file given on the command line, read from its dynamic section (32 or 64
// bit, either byte order, so the cross builds check their own files). A
// router has libc and json-c, and the firmware's libplovanutil; anything
// else (the C++ run time, libgcc_s, an event or parser library) fails.
//   shipped_needs FILE...
#include <elf.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const char *const kAllowed[] = {
    "libc.so",  // glibc's libc.so.6, musl's libc.so
    "ld-linux", // glibc's loaders
    "ld-musl-",
    "libjson-c.so",
    "libplovanutil.so",
    "libtarvik.so",
};

bool allowed(const std::string &name) {
	for (const char *prefix : kAllowed)
		if (name.compare(0, strlen(prefix), prefix) == 0)
			return true;
	return false;
}

struct Reader {
	const std::vector<unsigned char> &bytes;
	bool big;
	bool ok = true;

	uint64_t get(uint64_t at, int size) {
		if (at > bytes.size() || static_cast<uint64_t>(size) > bytes.size() - at) {
			ok = false;
			return 0;
		}
		uint64_t v = 0;
		for (int i = 0; i < size; i++) {
			int shift = big ? 8 * (size - 1 - i) : 8 * i;
			v |= static_cast<uint64_t>(bytes[at + i]) << shift;
		}
		return v;
	}
};

// The NEEDED names of `path`; false (with a message) when it is no ELF
// file with a dynamic section.
bool needed(const std::string &path, std::vector<std::string> *names) {
	std::ifstream in(path, std::ios::binary);
	std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
	                                 std::istreambuf_iterator<char>());
	if (bytes.size() < EI_NIDENT || memcmp(bytes.data(), ELFMAG, SELFMAG) != 0) {
		fprintf(stderr, "%s: not an ELF file\n", path.c_str());
		return false;
	}
	bool wide = bytes[EI_CLASS] == ELFCLASS64;
	Reader r{bytes, bytes[EI_DATA] == ELFDATA2MSB};
	int word = wide ? 8 : 4;
	// Section headers: where, how many, how large.
	uint64_t shoff = r.get(wide ? 0x28 : 0x20, word);
	uint64_t shentsize = r.get(wide ? 0x3A : 0x2E, 2);
	uint64_t shnum = r.get(wide ? 0x3C : 0x30, 2);
	bool found = false;
	for (uint64_t i = 0; i < shnum && r.ok; i++) {
		uint64_t sh = shoff + i * shentsize;
		if (r.get(sh + 4, 4) != SHT_DYNAMIC)
			continue;
		found = true;
		uint64_t offset = r.get(sh + (wide ? 0x18 : 0x10), word);
		uint64_t size = r.get(sh + (wide ? 0x20 : 0x14), word);
		uint64_t link = r.get(sh + (wide ? 0x28 : 0x18), 4);
		uint64_t strtab = r.get(shoff + link * shentsize + (wide ? 0x18 : 0x10), word);
		for (uint64_t at = offset; at + 2 * word <= offset + size && r.ok; at += 2 * word) {
			uint64_t tag = r.get(at, word);
			if (tag == DT_NULL)
				break;
			if (tag != DT_NEEDED)
				continue;
			uint64_t name = strtab + r.get(at + word, word);
			std::string text;
			while (r.ok && name < bytes.size() && bytes[name] != 0)
				text += static_cast<char>(bytes[name++]);
			names->push_back(text);
		}
	}
	if (!r.ok || !found) {
		fprintf(stderr, "%s: %s\n", path.c_str(),
		        r.ok ? "no dynamic section" : "truncated or malformed ELF file");
		return false;
	}
	return true;
}

} // namespace

int main(int argc, char **argv) {
	if (argc < 2) {
		fprintf(stderr, "usage: shipped_needs FILE...\n");
		return 2;
	}
	int failures = 0;
	for (int i = 1; i < argc; i++) {
		std::vector<std::string> names;
		if (!needed(argv[i], &names)) {
			failures++;
			continue;
		}
		std::string list;
		for (const std::string &name : names) {
			list += " " + name;
			if (!allowed(name)) {
				fprintf(stderr, "%s needs %s, which a router lacks\n", argv[i], name.c_str());
				failures++;
			}
		}
		printf("%s:%s\n", argv[i], list.c_str());
	}
	return failures == 0 ? 0 : 1;
}
