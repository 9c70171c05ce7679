// Running the refresh command "/usr/bin/olsr-kavond NAME" for a refresh of
// NAME's cache file.
#ifndef OLSR_KAVOND_REFRESH_COMMAND_H
#define OLSR_KAVOND_REFRESH_COMMAND_H

#include <json-c/json.h>

namespace kavond {

// Runs "kRefreshCommand NAME" (no shell: `name` is one of the table's
// names) in a process group of its own, its standard output a pipe: its
// document (NULL when it printed none), and in `*succeeded` whether it
// exited with status 0. With `bound_s` above 0, a command still running
// that many seconds after its start is killed with everything in its
// group, reported with what it was waiting for, and gives NULL.
json_object *run_refresh_command(const char *name, int bound_s, bool *succeeded);

} // namespace kavond

#endif
