// The dynamic symbols that libtarvik.so defines are exactly the public
// functions of the library: nothing internal leaks out (a wrong export
// list, a missing -fvisibility=hidden, a stray global) and nothing public
// is missing. The list is written out here rather than read from
// lib/tarvik.map, so that a wrong map fails this test too. The ELF file
// is read directly (32- and 64-bit), so the test also checks a cross
// build's library.
// The library's own calls of its exported functions bind inside it: no
// name that it defines is left for the loader to look up, where an
// object loaded earlier (libcurl, with its own curl_easy_escape) would
// win.
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

const std::set<std::string> kPublicFunctions = {
    // HTTP fetch
    "get_url", "uclient_read_account", "get_all_data_init", "get_all_data_process",
    "get_all_data_finalize", "uclient_get_errmsg", "curl_easy_escape", "Curl_isunreserved",
    // daemon queries
    "olsr1_get_nodeinfo", "olsr2_get_nodeinfo", "olsr2_get_nodeinfo_raw",
    // daemon state
    "oi", "success_exit",
    // socket requests
    "socket_request", "socket_request_json",
    // neighbours
    "olsr1_get_neigh", "olsr2_get_neigh", "merge_neighs", "get_merged_neighs",
    // ARP
    "read_arp_cache", "cleanup_arp_cache", "resolve_mac", "test_arping", "get_if_info",
    "get_if_ip4", "int_ip4", "format_ip4", "bind_arp", "send_arp", "read_arp", "vfnc"};

struct DynamicSymbol {
	unsigned char type;       // STT_*
	unsigned char visibility; // STV_*
	size_t index;             // in .dynsym
};

// Global and weak symbols that the file defines in its dynamic symbol
// table, by name. Fails the current test (and returns what it has) on a
// malformed file.
template <typename Ehdr, typename Shdr, typename Sym>
std::map<std::string, DynamicSymbol> defined_symbols(const std::vector<char> &file) {
	std::map<std::string, DynamicSymbol> out;
	auto fits = [&](size_t offset, size_t size) {
		return offset <= file.size() && size <= file.size() - offset;
	};
	if (!fits(0, sizeof(Ehdr))) {
		ADD_FAILURE() << "file shorter than its ELF header";
		return out;
	}
	const Ehdr *eh = reinterpret_cast<const Ehdr *>(file.data());
	if (eh->e_shentsize != sizeof(Shdr) ||
	    !fits(eh->e_shoff, static_cast<size_t>(eh->e_shnum) * sizeof(Shdr))) {
		ADD_FAILURE() << "section headers out of the file";
		return out;
	}
	const Shdr *sections = reinterpret_cast<const Shdr *>(file.data() + eh->e_shoff);
	int dynsym_tables = 0;
	for (size_t i = 0; i < eh->e_shnum; i++) {
		const Shdr &symtab = sections[i];
		if (symtab.sh_type != SHT_DYNSYM)
			continue;
		dynsym_tables++;
		if (symtab.sh_link >= eh->e_shnum || symtab.sh_entsize != sizeof(Sym) ||
		    !fits(symtab.sh_offset, symtab.sh_size)) {
			ADD_FAILURE() << "malformed .dynsym";
			return out;
		}
		const Shdr &strtab = sections[symtab.sh_link];
		if (!fits(strtab.sh_offset, strtab.sh_size)) {
			ADD_FAILURE() << "malformed .dynstr";
			return out;
		}
		const char *names = file.data() + strtab.sh_offset;
		const Sym *syms = reinterpret_cast<const Sym *>(file.data() + symtab.sh_offset);
		for (size_t k = 1; k < symtab.sh_size / sizeof(Sym); k++) {
			const Sym &s = syms[k];
			unsigned bind = ELF64_ST_BIND(s.st_info); // the same for ELF32
			if (s.st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK))
				continue;
			if (s.st_name >= strtab.sh_size) {
				ADD_FAILURE() << "symbol name out of .dynstr";
				continue;
			}
			const char *name = names + s.st_name;
			size_t len = strnlen(name, strtab.sh_size - s.st_name);
			out[std::string(name, len)] = {static_cast<unsigned char>(ELF64_ST_TYPE(s.st_info)),
			                               static_cast<unsigned char>(ELF64_ST_VISIBILITY(s.st_other)),
			                               k};
		}
	}
	EXPECT_EQ(dynsym_tables, 1);
	return out;
}

// The .dynsym indices of the symbols that the loader binds by lookup for
// the file's own references: those named by a dynamic relocation (a PLT
// slot, a GOT entry, a pointer in data) and, on MIPS, every one from
// DT_MIPS_GOTSYM on (their GOT entries are filled without relocations).
// Expects a file that defined_symbols has found well-formed.
template <typename Ehdr, typename Shdr, typename Rel, typename Dyn>
std::set<size_t> looked_up_symbols(const std::vector<char> &file) {
	std::set<size_t> out;
	const Ehdr *eh = reinterpret_cast<const Ehdr *>(file.data());
	const Shdr *sections = reinterpret_cast<const Shdr *>(file.data() + eh->e_shoff);
	auto fits = [&](const Shdr &sh) {
		return sh.sh_offset <= file.size() && sh.sh_size <= file.size() - sh.sh_offset;
	};
	for (size_t i = 0; i < eh->e_shnum; i++) {
		const Shdr &sh = sections[i];
		bool relocations = sh.sh_type == SHT_REL || sh.sh_type == SHT_RELA;
		if (!relocations && sh.sh_type != SHT_DYNAMIC)
			continue;
		if (!fits(sh) || sh.sh_entsize < (relocations ? sizeof(Rel) : sizeof(Dyn))) {
			ADD_FAILURE() << "malformed section " << i;
			continue;
		}
		const char *entries = file.data() + sh.sh_offset;
		for (size_t at = 0; at + sh.sh_entsize <= sh.sh_size; at += sh.sh_entsize) {
			// REL and RELA entries begin alike: offset, then info.
			if (relocations) {
				const Rel *r = reinterpret_cast<const Rel *>(entries + at);
				size_t sym = sizeof(Rel) == sizeof(Elf64_Rel) ? ELF64_R_SYM(r->r_info)
				                                              : ELF32_R_SYM(r->r_info);
				if (sym != 0 && sh.sh_link < eh->e_shnum &&
				    sections[sh.sh_link].sh_type == SHT_DYNSYM)
					out.insert(sym);
				continue;
			}
			const Dyn *d = reinterpret_cast<const Dyn *>(entries + at);
			if (eh->e_machine != EM_MIPS || d->d_tag != DT_MIPS_GOTSYM)
				continue;
			for (size_t k = 0; k < eh->e_shnum; k++)
				if (sections[k].sh_type == SHT_DYNSYM && sections[k].sh_entsize != 0)
					for (size_t sym = d->d_un.d_val;
					     sym < sections[k].sh_size / sections[k].sh_entsize; sym++)
						out.insert(sym);
		}
	}
	return out;
}

struct Library {
	std::map<std::string, DynamicSymbol> defined;
	std::set<size_t> looked_up; // see looked_up_symbols
};

Library read_library() {
	const std::string path = std::string(TARVIK_BUILD_DIR) + "/lib/libtarvik.so";
	std::ifstream in(path, std::ios::binary);
	std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
	if (file.size() < EI_NIDENT || memcmp(file.data(), ELFMAG, SELFMAG) != 0) {
		ADD_FAILURE() << "cannot read an ELF file at " << path;
		return {};
	}
	Library out;
	switch (file[EI_CLASS]) {
	case ELFCLASS32:
		out.defined = defined_symbols<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym>(file);
		if (!out.defined.empty())
			out.looked_up = looked_up_symbols<Elf32_Ehdr, Elf32_Shdr, Elf32_Rel, Elf32_Dyn>(file);
		return out;
	case ELFCLASS64:
		out.defined = defined_symbols<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym>(file);
		if (!out.defined.empty())
			out.looked_up = looked_up_symbols<Elf64_Ehdr, Elf64_Shdr, Elf64_Rel, Elf64_Dyn>(file);
		return out;
	default:
		ADD_FAILURE() << "unknown ELF class " << static_cast<int>(file[EI_CLASS]);
		return {};
	}
}

std::map<std::string, DynamicSymbol> library_symbols() {
	return read_library().defined;
}

std::string joined(const std::vector<std::string> &names) {
	std::string out;
	for (const auto &n : names)
		out += (out.empty() ? "" : " ") + n;
	return out;
}

TEST(ExportedSymbols, AreExactlyThePublicFunctions) {
	auto defined = library_symbols();
	ASSERT_FALSE(defined.empty()) << "no defined dynamic symbols found";

	std::vector<std::string> leaked, missing;
	for (const auto &[name, sym] : defined)
		if (!kPublicFunctions.count(name))
			leaked.push_back(name);
	for (const auto &name : kPublicFunctions) {
		if (defined.count(name))
			continue;
		missing.push_back(name);
	}
	EXPECT_TRUE(leaked.empty()) << "exported but not public: " << joined(leaked);
	EXPECT_TRUE(missing.empty()) << "public but not exported: " << joined(missing);
}

TEST(ExportedSymbols, PublicNamesAreFunctionsWithDefaultVisibility) {
	auto defined = library_symbols();
	for (const auto &name : kPublicFunctions) {
		auto it = defined.find(name);
		if (it == defined.end())
			continue; // reported by the test above
		SCOPED_TRACE(name);
		EXPECT_EQ(it->second.type, STT_FUNC);
		EXPECT_EQ(it->second.visibility, STV_DEFAULT);
	}
}

TEST(ExportedSymbols, OwnCallsBindInsideTheLibrary) {
	auto library = read_library();
	ASSERT_FALSE(library.defined.empty()) << "no defined dynamic symbols found";
	std::vector<std::string> looked_up;
	for (const auto &[name, sym] : library.defined)
		if (library.looked_up.count(sym.index))
			looked_up.push_back(name);
	EXPECT_TRUE(looked_up.empty()) << "defined here, bound by the loader's lookup: "
	                               << joined(looked_up);
}

} // namespace
