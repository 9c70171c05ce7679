// olsr-kavond: the refresh command of the cache files.
//
//   olsr-kavond NAME            computes the document NAME ("nodeinfo",
//                               "statistics" or "neighbours") and prints it
//                               as one JSON document on standard output
//   olsr-kavond --update NAME   refreshes NAME's cache file (it runs
//                               "/usr/bin/olsr-kavond NAME" under NAME's
//                               refresh lock), for a periodic job; it
//                               gives up after kRefreshBound seconds, or
//                               after "--timeout SECONDS" given after
//                               --update
//   olsr-kavond --check         says what works and what does not on the
//                               way to the documents (kavond/check.h)
//   olsr-kavond --netjson graph|monitoring, --prometheus,
//   olsr-kavond --prometheus-textfile DIR
//                               the node's facts as NetJSON or Prometheus
//                               text (kavond/forms.h)
//   olsr-kavond --help          prints the usage
//
// Exit status 0 when a document or form was printed or stored, or when --update
// found a refresh of NAME already under way; 1 with a message on standard
// error otherwise (for --update: the command failed, or the document was
// not written, closed and renamed in full, or the bound passed); 2 for a
// usage error.
#include <errno.h>
#include <fcntl.h>
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "cache.h"
#include "check.h"
#include "documents.h"
#include "forms.h"
#include "holders.h"
#include "json_output.h"

using namespace kavond;
using tarvik::Fd;
using tarvik::JsonPtr;

namespace {

// "nodeinfo|statistics|neighbours"
void print_names(FILE *out) {
	for (size_t i = 0; i < kDocumentCount; i++)
		fprintf(out, "%s%s", i ? "|" : "", kDocuments[i].name);
}

void print_usage() {
	fputs("usage: olsr-kavond [--update [--timeout SECONDS]] ", stdout);
	print_names(stdout);
	printf(" | --check\n"
	       "       | --netjson graph|monitoring | --prometheus | --prometheus-textfile DIR\n"
	       "  olsr-kavond NAME            print the document NAME as JSON on standard output\n"
	       "  olsr-kavond --update NAME   refresh NAME's cache file ");
	printf(kCacheFileFormat, "NAME");
	printf("\n"
	       "                              (nothing is started while a refresh of NAME runs)\n"
	       "    --timeout SECONDS         give up the refresh after SECONDS (default %d),\n"
	       "                              storing nothing, with exit status 1\n"
	       "  olsr-kavond --check         say what works and what does not on the way to\n"
	       "                              the documents, with a hint for each fault\n",
	       kRefreshBound);
	for (size_t i = 0; i < kFormCount; i++) {
		const Form &form = kForms[i];
		const char *argument = form.argument == nullptr ? "DIR" : form.argument;
		printf("  olsr-kavond %s%s%s\n%30s%s\n", form.option, *argument ? " " : "", argument, "",
		       form.about);
	}
	printf("documents:\n");
	for (size_t i = 0; i < kDocumentCount; i++)
		printf("  %-12s %s\n", kDocuments[i].name, kDocuments[i].about);
}

int usage_error() {
	fputs("usage: olsr-kavond [--update [--timeout SECONDS]] ", stderr);
	print_names(stderr);
	fputs(" | --check | --netjson graph|monitoring | --prometheus"
	      " | --prometheus-textfile DIR (--help for more)\n",
	      stderr);
	return 2;
}

// Refreshes NAME's cache file, unless a refresh of it is already under
// way: a periodic job must not queue one more waiting process each time
// while a refresh hangs on a daemon that never answers.
int update(const char *name, int bound_s) {
	char path[kCachePathSize];
	if (!cache_file_path(name, path))
		return 1; // cannot happen for the table's names
	switch (refresh_cache_file(path, name, bound_s)) {
	case CacheRefresh::Stored:
		return 0;
	case CacheRefresh::UnderWay:
		fprintf(stderr, "olsr-kavond: a refresh of %s is already under way\n", name);
		return 0;
	case CacheRefresh::NotStored:
		break;
	}
	fprintf(stderr, "olsr-kavond: no %s document was stored\n", name);
	return 1;
}

// Computes the document with standard output sent to standard error: the
// library's messages (ARP probes) and the init scripts it starts write
// there, and whoever reads this program's standard output (a refresh
// through a pipe) must get the document alone.
JsonPtr compute_quietly(const Document &document) {
	fflush(stdout);
	Fd saved(fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
	if (!saved || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
		fprintf(stderr, "olsr-kavond: cannot set standard output aside\n");
		return nullptr;
	}
	JsonPtr doc(document.compute());
	fflush(stdout);
	if (dup2(saved.get(), STDOUT_FILENO) < 0) {
		fprintf(stderr, "olsr-kavond: cannot restore standard output\n");
		return nullptr;
	}
	return doc;
}

int print(const Document &document) {
	JsonPtr doc = compute_quietly(document);
	if (!doc) {
		fprintf(stderr, "olsr-kavond: the %s provider failed\n", document.name);
		return 1;
	}
	const char *text = json_output_text(doc.get());
	if (text == nullptr || fputs(text, stdout) < 0 || fflush(stdout) != 0) {
		fprintf(stderr, "olsr-kavond: cannot write the %s document\n", document.name);
		return 1;
	}
	return 0;
}

// Prints or stores a standard form: its documents are computed as the
// document modes compute theirs, standard output set aside.
int standard_form(const Form *form, const char *second_word) {
	if (form == nullptr)
		return usage_error();
	const Document gather = {form->option, form->gather, form->about};
	JsonPtr state = compute_quietly(gather);
	if (!state) {
		fprintf(stderr, "olsr-kavond: the node's documents cannot be had for %s\n", form->option);
		return 1;
	}
	return form->emit(state.get(), form->argument == nullptr ? second_word : nullptr);
}

// Opens /dev/null on each of the standard descriptors that is closed. A
// program started with one of them closed would otherwise get its next
// descriptor there (a pipe, a cache file), and writes meant for standard
// output or error would land in it, or a dup2 onto it would close it.
// false when one cannot be opened.
bool open_standard_descriptors() {
	for (int fd = 0; fd <= 2; fd++) {
		if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
			continue;
		// The lowest free number is `fd`: the ones below it are open.
		int opened = open("/dev/null", O_RDWR | O_NOCTTY);
		if (opened != fd) {
			if (opened >= 0)
				close(opened);
			return false;
		}
	}
	return true;
}

// Takes "--timeout SECONDS" out of the arguments of --update, wherever
// it stands after "--update", into `*seconds`; false for one without a
// whole number of seconds from 1 to a day.
bool take_timeout(int &argc, char **argv, int *seconds) {
	if (argc < 2 || strcmp(argv[1], "--update") != 0)
		return true;
	for (int i = 2; i < argc; i++) {
		if (strcmp(argv[i], "--timeout") != 0)
			continue;
		char *end = nullptr;
		errno = 0;
		long value = i + 1 < argc ? strtol(argv[i + 1], &end, 10) : 0;
		if (end == argv[i + 1] || end == nullptr || *end != '\0' || errno != 0 || value < 1 ||
		    value > 86400)
			return false;
		*seconds = static_cast<int>(value);
		// argv[argc] (NULL) moves along.
		memmove(argv + i, argv + i + 2, (argc - i - 1) * sizeof *argv);
		argc -= 2;
		return true;
	}
	return true;
}

} // namespace

int main(int argc, char **argv) {
	if (!open_standard_descriptors())
		return 1;
	if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
		print_usage();
		return fflush(stdout) == 0 ? 0 : 1;
	}
	if (argc == 2 && strcmp(argv[1], "--check") == 0)
		return kavond::check();
	if (argc >= 2 && is_form_option(argv[1]))
		return standard_form(find_form(argc - 1, argv + 1), argv[2]);
	int bound_s = kRefreshBound;
	if (!take_timeout(argc, argv, &bound_s))
		return usage_error();
	bool updating = argc == 3 && strcmp(argv[1], "--update") == 0;
	if ((argc != 2 && !updating) || (argc == 2 && argv[1][0] == '-'))
		return usage_error();
	const char *name = argv[argc - 1];
	const Document *document = find_document(name);
	if (document == nullptr) {
		fprintf(stderr, "olsr-kavond: unknown provider \"%s\"\n", name);
		return 1;
	}
	return updating ? update(name, bound_s) : print(*document);
}
