// The provider table: each row reads the last document of its name from
// its cache file; computing the documents is the refresh command's work.
#include "kavond_provider.h"
#include "providers.h"

namespace {

json_object *cached_nodeinfo(void) { return make_safe("nodeinfo"); }
json_object *cached_statistics(void) { return make_safe("statistics"); }
json_object *cached_neighbours(void) { return make_safe("neighbours"); }

} // namespace

extern "C" __attribute__((visibility("default"))) const kavond_provider kavond_providers[] = {
    {"nodeinfo", cached_nodeinfo},
    {"statistics", cached_statistics},
    {"neighbours", cached_neighbours},
    {nullptr, nullptr},
};
