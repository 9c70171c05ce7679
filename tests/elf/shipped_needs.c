/* What the shipped files need at run time: the NEEDED entries of each ELF
 * file given on the command line, read from its dynamic section (32 or 64
 * bit, either byte order). A router has libc and json-c, and the
 * firmware's libplovanutil; anything else (the C++ run time, libgcc_s, an
 * event or parser library) fails. Plain C on libc alone, so that every
 * build, the musl one included, runs it on its own files.
 *   shipped_needs FILE... */
#include <elf.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char *const kAllowed[] = {
	"libc.so",  /* glibc's libc.so.6, musl's libc.so */
	"ld-linux", /* glibc's loaders */
	"ld-musl-",
	"libjson-c.so",
	"libplovanutil.so",
	"libtarvik.so",
};

static bool allowed(const char *name) {
	for (size_t i = 0; i < sizeof kAllowed / sizeof kAllowed[0]; i++)
		if (strncmp(name, kAllowed[i], strlen(kAllowed[i])) == 0)
			return true;
	return false;
}

struct reader {
	const unsigned char *bytes;
	size_t size;
	bool big;
	bool ok;
};

static uint64_t get(struct reader *r, uint64_t at, int size) {
	if (at > r->size || (uint64_t)size > r->size - at) {
		r->ok = false;
		return 0;
	}
	uint64_t v = 0;
	for (int i = 0; i < size; i++) {
		int shift = r->big ? 8 * (size - 1 - i) : 8 * i;
		v |= (uint64_t)r->bytes[at + i] << shift;
	}
	return v;
}

/* The whole file, malloc'd; NULL when it cannot be read. */
static unsigned char *slurp(const char *path, size_t *size) {
	FILE *f = fopen(path, "rb");
	if (f == NULL)
		return NULL;
	unsigned char *bytes = NULL;
	size_t len = 0, cap = 0;
	for (;;) {
		if (len == cap) {
			cap = cap ? 2 * cap : 65536;
			unsigned char *grown = realloc(bytes, cap);
			if (grown == NULL) {
				free(bytes);
				fclose(f);
				return NULL;
			}
			bytes = grown;
		}
		size_t n = fread(bytes + len, 1, cap - len, f);
		len += n;
		if (n == 0)
			break;
	}
	bool failed = ferror(f);
	fclose(f);
	if (failed) {
		free(bytes);
		return NULL;
	}
	*size = len;
	return bytes;
}

/* Checks the NEEDED names of `path`, printing them on one line; returns
 * the number of failures (a name a router lacks, or a file that is no
 * ELF file with a dynamic section). */
static int check(const char *path) {
	size_t size = 0;
	unsigned char *bytes = slurp(path, &size);
	if (bytes == NULL) {
		perror(path);
		return 1;
	}
	if (size < EI_NIDENT || memcmp(bytes, ELFMAG, SELFMAG) != 0) {
		fprintf(stderr, "%s: not an ELF file\n", path);
		free(bytes);
		return 1;
	}
	bool wide = bytes[EI_CLASS] == ELFCLASS64;
	struct reader r = {bytes, size, bytes[EI_DATA] == ELFDATA2MSB, true};
	int word = wide ? 8 : 4;
	/* Section headers: where, how many, how large. */
	uint64_t shoff = get(&r, wide ? 0x28 : 0x20, word);
	uint64_t shentsize = get(&r, wide ? 0x3A : 0x2E, 2);
	uint64_t shnum = get(&r, wide ? 0x3C : 0x30, 2);
	bool found = false;
	int failures = 0;
	printf("%s:", path);
	for (uint64_t i = 0; i < shnum && r.ok; i++) {
		uint64_t sh = shoff + i * shentsize;
		if (get(&r, sh + 4, 4) != SHT_DYNAMIC)
			continue;
		found = true;
		uint64_t offset = get(&r, sh + (wide ? 0x18 : 0x10), word);
		uint64_t dynsize = get(&r, sh + (wide ? 0x20 : 0x14), word);
		uint64_t link = get(&r, sh + (wide ? 0x28 : 0x18), 4);
		uint64_t strtab = get(&r, shoff + link * shentsize + (wide ? 0x18 : 0x10), word);
		for (uint64_t at = offset; at + 2 * word <= offset + dynsize && r.ok; at += 2 * word) {
			uint64_t tag = get(&r, at, word);
			if (tag == DT_NULL)
				break;
			if (tag != DT_NEEDED)
				continue;
			uint64_t name = strtab + get(&r, at + word, word);
			uint64_t end = name;
			while (end < size && bytes[end] != 0)
				end++;
			if (end >= size) {
				r.ok = false;
				break;
			}
			const char *text = (const char *)bytes + name;
			printf(" %s", text);
			if (!allowed(text)) {
				fprintf(stderr, "%s needs %s, which a router lacks\n", path, text);
				failures++;
			}
		}
	}
	printf("\n");
	if (!r.ok || !found) {
		fprintf(stderr, "%s: %s\n", path,
		        r.ok ? "no dynamic section" : "truncated or malformed ELF file");
		failures++;
	}
	free(bytes);
	return failures;
}

int main(int argc, char **argv) {
	if (argc < 2) {
		fprintf(stderr, "usage: shipped_needs FILE...\n");
		return 2;
	}
	int failures = 0;
	for (int i = 1; i < argc; i++)
		failures += check(argv[i]);
	return failures == 0 ? 0 : 1;
}
