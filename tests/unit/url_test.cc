// URL splitting and Location resolution, as tables.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "url.h"

namespace {

TEST(Url, SplitsWhatARequestNeeds) {
	struct Case {
		const char *url;
		const char *host;
		const char *authority;
		const char *target;
		int port;
	} cases[] = {
	    {"http://127.0.0.1:9090/version", "127.0.0.1", "127.0.0.1:9090", "/version", 9090},
	    {"http://127.0.0.1:1980/telnet%2Fx%20y", "127.0.0.1", "127.0.0.1:1980", "/telnet%2Fx%20y",
	     1980},
	    {"HTTP://host", "host", "host", "/", 80},
	    {"http://user@host:1/a?b", "host", "host:1", "/a?b", 1},
	    {"http://[::1]:8080/x", "::1", "[::1]:8080", "/x", 8080},
	    {"http://[::1]/", "::1", "[::1]", "/", 80},
	    {"http://h:65535", "h", "h:65535", "/", 65535},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.url);
		tarvik::UrlParts parts;
		ASSERT_TRUE(tarvik::url_split(c.url, &parts));
		EXPECT_STREQ(parts.host.get(), c.host);
		EXPECT_STREQ(parts.authority.get(), c.authority);
		EXPECT_STREQ(parts.target.get(), c.target);
		EXPECT_EQ(parts.port, c.port);
	}
}

TEST(Url, RefusesWhatItCannotFetch) {
	for (const char *url : {"ftp://h/x", "http://", "http:///x", "http://h:/x", "http://h:0/",
	                        "http://h:65536/", "http://h:8a/", "http://[::1/", "http://[]:80/",
	                        "http://user@/x", "nonsense"}) {
		SCOPED_TRACE(url);
		tarvik::UrlParts parts;
		parts.port = -7;
		EXPECT_FALSE(tarvik::url_split(url, &parts));
		EXPECT_EQ(parts.port, -7) << "written only on success";
	}
}

TEST(Url, ResolvesLocationsAgainstTheUrlTheyAnswered) {
	struct Case {
		const char *base;
		const char *location;
		const char *out;
	} cases[] = {
	    {"http://h:1/a/b", "http://other/x", "http://other/x"},
	    {"http://h:1/a/b", "ftp://other/x", "ftp://other/x"},
	    {"http://h:1/a/b", "//other:2/x", "http://other:2/x"},
	    {"http://h:1/a/b", "/x/y", "http://h:1/x/y"},
	    {"http://h:1/a/b", "c", "http://h:1/a/c"},
	    {"http://h:1/a/", "c?d", "http://h:1/a/c?d"},
	    {"http://h:1", "c", "http://h:1/c"},
	    {"http://h:1", "/c", "http://h:1/c"},
	    {"http://h:1/telnet%2Ffault", "fault%2Fx", "http://h:1/fault%2Fx"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(std::string(c.base) + " + " + c.location);
		char *out = tarvik::url_resolve(c.base, c.location);
		ASSERT_NE(out, nullptr);
		EXPECT_STREQ(out, c.out);
		free(out);
	}
	EXPECT_EQ(tarvik::url_resolve("no scheme", "x"), nullptr);
}

} // namespace
