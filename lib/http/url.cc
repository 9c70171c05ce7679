// URL splitting and Location resolution for the fetch client.
#include "url.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

namespace tarvik {

bool url_split(const char *url, UrlParts *out) {
	if (strncasecmp(url, "http://", 7) != 0)
		return false;
	const char *auth = url + 7;
	const char *slash = strchr(auth, '/');
	size_t auth_len = slash ? static_cast<size_t>(slash - auth) : strlen(auth);
	const char *at = static_cast<const char *>(memchr(auth, '@', auth_len));
	if (at != nullptr) {
		auth_len -= static_cast<size_t>(at + 1 - auth);
		auth = at + 1;
	}
	if (auth_len == 0)
		return false;

	const char *host = auth;
	size_t host_len;
	const char *rest;
	if (auth[0] == '[') {
		const char *close = static_cast<const char *>(memchr(auth, ']', auth_len));
		if (close == nullptr)
			return false;
		host = auth + 1;
		host_len = static_cast<size_t>(close - host);
		rest = close + 1;
	} else {
		const char *colon = static_cast<const char *>(memchr(auth, ':', auth_len));
		host_len = colon ? static_cast<size_t>(colon - auth) : auth_len;
		rest = auth + host_len;
	}
	if (host_len == 0)
		return false;
	int port = 80;
	const char *auth_end = auth + auth_len;
	if (rest < auth_end) {
		if (*rest != ':' || rest + 1 == auth_end)
			return false;
		port = 0;
		for (const char *p = rest + 1; p < auth_end; p++) {
			if (*p < '0' || *p > '9')
				return false;
			port = port * 10 + (*p - '0');
			if (port > 65535)
				return false;
		}
		if (port == 0)
			return false;
	}

	TextPtr new_host(strndup(host, host_len));
	TextPtr new_authority(strndup(auth, auth_len));
	TextPtr new_target(strdup(slash ? slash : "/"));
	if (!new_host || !new_authority || !new_target)
		return false;
	out->host = std::move(new_host);
	out->authority = std::move(new_authority);
	out->target = std::move(new_target);
	out->port = port;
	return true;
}

char *url_resolve(const char *base, const char *location) {
	size_t scheme_len = strspn(location,
	    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+.-");
	if (scheme_len > 0 && location[scheme_len] == ':')
		return strdup(location);

	const char *auth = strstr(base, "://");
	if (auth == nullptr)
		return nullptr;
	auth += 3;
	if (location[0] == '/' && location[1] == '/') {
		size_t scheme = static_cast<size_t>(auth - 3 - base);
		size_t size = scheme + 1 + strlen(location) + 1;
		char *out = static_cast<char *>(malloc(size));
		if (out != nullptr)
			snprintf(out, size, "%.*s:%s", static_cast<int>(scheme), base, location);
		return out;
	}
	const char *path = strchr(auth, '/');
	size_t keep;
	if (location[0] == '/')
		keep = path ? static_cast<size_t>(path - base) : strlen(base);
	else if (path == nullptr)
		keep = strlen(base); // "http://host" + "/" + location
	else
		keep = static_cast<size_t>(strrchr(path, '/') - base) + 1;
	bool add_slash = location[0] != '/' && path == nullptr;
	size_t size = keep + (add_slash ? 1 : 0) + strlen(location) + 1;
	char *out = static_cast<char *>(malloc(size));
	if (out != nullptr)
		snprintf(out, size, "%.*s%s%s", static_cast<int>(keep), base, add_slash ? "/" : "",
		         location);
	return out;
}

} // namespace tarvik
