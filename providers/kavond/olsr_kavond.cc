// olsr-kavond: the refresh command of the cache files.
//
//   olsr-kavond NAME            computes the document NAME ("nodeinfo",
//                               "statistics" or "neighbours") and prints it
//                               as one JSON document on standard output
//   olsr-kavond --update NAME   refreshes NAME's cache file (it runs
//                               "/usr/bin/olsr-kavond NAME" under the
//                               file's lock), for a periodic job
//   olsr-kavond --check         says what works and what does not on the
//                               way to the documents (kavond/check.h)
//
// Exit status 0 when a document was printed or stored; 1 with a one-line
// message on standard error otherwise; 2 for a usage error.
#include <json-c/json.h>
#include <stdio.h>
#include <string.h>

#include "check.h"
#include "json_output.h"
#include "providers.h"

namespace {

struct Provider {
	const char *name;
	json_object *(*compute)(void);
};

const Provider kProviders[] = {
    {"nodeinfo", provider_nodeinfo},
    {"statistics", provider_statistics},
    {"neighbours", provider_neighbours},
};

const Provider *find(const char *name) {
	for (const Provider &p : kProviders)
		if (strcmp(p.name, name) == 0)
			return &p;
	return nullptr;
}

int usage() {
	fprintf(stderr, "usage: olsr-kavond [--update] nodeinfo|statistics|neighbours | --check\n");
	return 2;
}

} // namespace

int main(int argc, char **argv) {
	if (argc == 2 && strcmp(argv[1], "--check") == 0)
		return kavond_check();
	bool update = argc == 3 && strcmp(argv[1], "--update") == 0;
	if ((argc != 2 && !update) || (argc == 2 && argv[1][0] == '-'))
		return usage();
	const char *name = argv[argc - 1];
	const Provider *provider = find(name);
	if (provider == nullptr) {
		fprintf(stderr, "olsr-kavond: unknown provider \"%s\"\n", name);
		return 1;
	}

	if (update) {
		char path[40];
		if (!cache_file_path(name, path))
			return 1; // cannot happen for the names above
		json_object *doc = update_cache_file(path, name, 0);
		if (doc == nullptr) {
			fprintf(stderr, "olsr-kavond: no %s document was stored\n", name);
			return 1;
		}
		json_object_put(doc);
		return 0;
	}

	json_object *doc = provider->compute();
	if (doc == nullptr) {
		fprintf(stderr, "olsr-kavond: the %s provider failed\n", name);
		return 1;
	}
	const char *text = json_output_text(doc);
	bool printed = text != nullptr && fputs(text, stdout) >= 0 && fflush(stdout) == 0;
	json_object_put(doc);
	if (!printed) {
		fprintf(stderr, "olsr-kavond: cannot write the %s document\n", name);
		return 1;
	}
	return 0;
}
