// The documents that olsr-kavond computes and the provider table serves:
// one row each, in the order the table lists them. A new document is one
// more row here: the provider table, the refresh command and the check
// all walk this list.
#ifndef OLSR_KAVOND_DOCUMENTS_H
#define OLSR_KAVOND_DOCUMENTS_H

#include <json-c/json.h>
#include <stddef.h>

// ROW(name, function that computes the document, what it holds).
#define KAVOND_DOCUMENTS(ROW)                                                                   \
	ROW(nodeinfo, provider_nodeinfo, "software, versions, addresses and interfaces of the node") \
	ROW(statistics, provider_statistics,                                                        \
	    "roaming clients and the traffic counters of the client port")                          \
	ROW(neighbours, provider_neighbours, "the direct mesh neighbours with their link metrics")

namespace kavond {

struct Document {
	const char *name;
	json_object *(*compute)(void); // a new document, or NULL
	const char *about;
};

// The rows of KAVOND_DOCUMENTS.
extern const Document kDocuments[];
extern const size_t kDocumentCount;

// The row named `name`, or NULL.
const Document *find_document(const char *name);

} // namespace kavond

#endif
