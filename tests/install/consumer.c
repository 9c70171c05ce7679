/* A consumer of the installed library: built against the installed header
 * and library only (through pkg-config or find_package). */
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <tarvik.h>

int main(void)
{
	char *url = curl_easy_escape("http://127.0.0.1:1980/telnet/nhdpinfo jsonraw link", 0);
	struct json_object *answer = NULL;
	int rc = olsr1_get_nodeinfo("version", &answer);

	if (url == NULL)
		return 1;
	printf("%s\n%s\n%d %s\n", url, uclient_get_errmsg(0x400 | 404), rc,
	       answer == NULL ? "untouched" : json_object_to_json_string(answer));
	free(url);
	json_object_put(answer);
	return 0;
}
