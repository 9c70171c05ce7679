#include "documents.h"

#include <string.h>

#include "neighbours.h"
#include "nodeinfo.h"
#include "statistics.h"

namespace kavond {

#define KAVOND_DOCUMENT_ROW(name, compute, about) {#name, compute, about},
const Document kDocuments[] = {KAVOND_DOCUMENTS(KAVOND_DOCUMENT_ROW)};
#undef KAVOND_DOCUMENT_ROW
const size_t kDocumentCount = sizeof kDocuments / sizeof kDocuments[0];

const Document *find_document(const char *name) {
	for (const Document &d : kDocuments)
		if (strcmp(d.name, name) == 0)
			return &d;
	return nullptr;
}

} // namespace kavond
