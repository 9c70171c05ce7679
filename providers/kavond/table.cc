// The provider table: each row reads the last document of its name from
// its cache file; computing the documents is the refresh command's work.
#include "cache.h"
#include "documents.h"
#include "kavond_provider.h"

namespace {

#define KAVOND_CACHED_READER(name, compute, about) \
	json_object *cached_##name(void) { return kavond::make_safe(#name); }
KAVOND_DOCUMENTS(KAVOND_CACHED_READER)
#undef KAVOND_CACHED_READER

} // namespace

#define KAVOND_PROVIDER_ROW(name, compute, about) {#name, cached_##name},
extern "C" __attribute__((visibility("default"))) const kavond_provider kavond_providers[] = {
    KAVOND_DOCUMENTS(KAVOND_PROVIDER_ROW){nullptr, nullptr},
};
#undef KAVOND_PROVIDER_ROW
