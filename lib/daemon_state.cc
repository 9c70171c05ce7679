// Which routing daemons the site enables, and whether each one runs.
#include <json-c/json.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "holders.h"
#include "plovanutil.h"
#include "tarvik.h"

namespace {

// "enable" of a daemon's section, by json-c's boolean rule: a missing
// value is false, a number is true when nonzero, a string when non-empty.
bool enabled(json_object *section) {
	json_object *enable = nullptr;
	if (section == nullptr || !json_object_object_get_ex(section, "enable", &enable))
		return false;
	return json_object_get_boolean(enable) != 0;
}

} // namespace

using namespace tarvik;

extern "C" {

int oi(DaemonState *state) {
	JsonPtr config(plovanutil_load_site_config());
	if (!config)
		return 1;
	json_object *mesh = json_object_object_get(config.get(), "mesh");
	json_object *olsrd = mesh ? json_object_object_get(mesh, "olsrd") : nullptr;
	if (olsrd == nullptr)
		return 1;
	json_object *v1 = json_object_object_get(olsrd, "v1_4");
	json_object *v2 = json_object_object_get(olsrd, "v2");

	// The only place where the flags are cleared.
	state->olsr1_enabled = 0;
	state->olsr1_running = 0;
	state->olsr2_enabled = 0;
	state->olsr2_running = 0;

	if (enabled(v1)) {
		state->olsr1_enabled = 1;
		if (success_exit("/etc/init.d/olsrd", "running", (char *)nullptr))
			state->olsr1_running = 1;
	}
	if (enabled(v2)) {
		state->olsr2_enabled = 1;
		if (success_exit("/etc/init.d/olsrd2", "running", (char *)nullptr))
			state->olsr2_running = 1;
	}
	return 0;
}

bool success_exit(const char *path, ...) {
	// The argument vector is built before the child starts: the child may
	// only exec or exit.
	va_list ap;
	va_start(ap, path);
	size_t count = 0;
	while (va_arg(ap, const char *) != nullptr)
		count++;
	va_end(ap);

	MallocPtr<char *> argv(static_cast<char **>(calloc(count + 2, sizeof(char *))));
	if (argv) {
		argv.get()[0] = const_cast<char *>(path);
		va_start(ap, path);
		for (size_t i = 1; i <= count; i++)
			argv.get()[i] = const_cast<char *>(va_arg(ap, const char *));
		va_end(ap);
	}

	// vfork: the child only execs or exits, so it need not copy this
	// process's page tables, and this process's later writes then do not
	// each fault on pages shared copy-on-write with a child long gone.
	// For a caller with a large heap that copy costs more than the
	// script itself.
	char *const *args = argv.get();
	pid_t child = vfork();
	if (child < 0)
		return false;
	if (child == 0) {
		if (args != nullptr)
			execv(path, args);
		// _exit, not exit: exit would flush the parent's unflushed stdio
		// buffers from the child.
		_exit(1);
	}
	int status = 0;
	pid_t waited;
	do {
		waited = waitpid(child, &status, 0);
	} while (waited < 0 && errno == EINTR);
	if (waited < 0)
		return false;
	return (status & 0x7F) == 0 && ((status >> 8) & 0xFF) == 0;
}

} // extern "C"
