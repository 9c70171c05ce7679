// URLs as the fetch client takes them: "http://[user@]host[:port][/path]"
// split into what a request needs, and a redirect's Location resolved
// against the URL it answered. Pure functions over texts.
#ifndef TARVIK_URL_H
#define TARVIK_URL_H

#include "holders.h"

namespace tarvik {

struct UrlParts {
	TextPtr host;      // without the brackets of an IPv6 literal
	TextPtr authority; // host[:port] as written, for the Host header
	TextPtr target;    // the path and query as written; "/" when absent
	int port;          // 80 unless given
};

// Splits `url`; false when it is not an http URL with a host and a valid
// port (1-65535), or memory runs out. `out` is written only on success.
bool url_split(const char *url, UrlParts *out);

// The URL that `location` names, seen from `base`: an absolute URL, a
// network-path reference ("//host/..."), an absolute path, or a path
// relative to the directory of `base`'s path. A new heap text, or NULL.
char *url_resolve(const char *base, const char *location);

} // namespace tarvik

#endif
