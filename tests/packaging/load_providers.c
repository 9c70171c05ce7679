/* load_providers MODULE: loads the provider module as the responder does
 * (dlopen, then the table under KAVOND_PROVIDERS_SYMBOL) and prints each
 * row's document as dravel prints it ("provider_NAME: TEXT" or
 * "provider_NAME: failed"). Exit 1 when the module or table is missing. */
#include <dlfcn.h>
#include <stdio.h>

#include <json-c/json.h>

#include "kavond_provider.h"

int main(int argc, char **argv) {
	void *module = argc == 2 ? dlopen(argv[1], RTLD_NOW | RTLD_LOCAL) : NULL;
	const struct kavond_provider *row =
	    module ? (const struct kavond_provider *)dlsym(module, KAVOND_PROVIDERS_SYMBOL) : NULL;
	if (row == NULL) {
		fprintf(stderr, "load_providers: %s\n", argc == 2 ? dlerror() : "usage: load_providers MODULE");
		return 1;
	}
	for (; row->name != NULL; row++) {
		json_object *document = row->cb();
		printf("provider_%s: %s\n\n", row->name,
		       document ? json_object_to_json_string_ext(document, JSON_C_TO_STRING_PLAIN) : "failed");
		json_object_put(document);
	}
	return 0;
}
