// Which routing daemons the site enables, and whether each one runs.
#include <json-c/json.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "facts.h"
#include "holders.h"
#include "plovanutil.h"
#include "site.h"
#include "tarvik.h"

using namespace tarvik;

namespace {

// Sets the flags of `daemon`: enabled by the site, and running by its
// init script (asked only when enabled).
void daemon_flags(json_object *olsrd, const DaemonFacts &daemon, uint8_t *enabled,
                  uint8_t *running) {
	if (!site_daemon_enabled(olsrd, daemon))
		return;
	*enabled = 1;
	if (success_exit(daemon.init_script, kInitRunning, static_cast<char *>(nullptr)))
		*running = 1;
}

} // namespace

extern "C" {

int oi(DaemonState *state) {
	JsonPtr config(plovanutil_load_site_config());
	if (!config)
		return 1;
	json_object *olsrd = site_olsrd_section(config.get());
	if (olsrd == nullptr)
		return 1;

	// The only place where the flags are cleared.
	state->olsr1_enabled = 0;
	state->olsr1_running = 0;
	state->olsr2_enabled = 0;
	state->olsr2_running = 0;
	daemon_flags(olsrd, kOlsrdFacts, &state->olsr1_enabled, &state->olsr1_running);
	daemon_flags(olsrd, kOlsrd2Facts, &state->olsr2_enabled, &state->olsr2_running);
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
