/* Preloaded into dravel by a test: an olsr1_get_nodeinfo that fails and
 * still hands back an object, the broken library contract that the
 * driver's assertion guards against. */
#include <json-c/json.h>

int olsr1_get_nodeinfo(const char *command, struct json_object **answer) {
	(void)command;
	*answer = json_object_new_object();
	return 1;
}
