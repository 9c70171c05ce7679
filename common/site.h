// The rules by which the site configuration is read, shared by the daemon
// state (lib/daemon_state.cc) and the self-check, so both read it alike.
#ifndef TARVIK_SITE_H
#define TARVIK_SITE_H

#include <json-c/json.h>

#include "facts.h"

namespace tarvik {

// The "mesh" -> "olsrd" section of the site configuration `config`
// (borrowed), or NULL when it lacks one.
json_object *site_olsrd_section(json_object *config);

// The "enable" value of daemon `daemon`'s section in `olsrd` (the result
// of site_olsrd_section; NULL allowed), or NULL when it is absent.
json_object *site_enable_value(json_object *olsrd, const DaemonFacts &daemon);

// Whether the site enables `daemon`, by json-c's boolean rule: a missing
// value is false, a number is true when nonzero, a text when it is not
// empty (even "false").
bool site_daemon_enabled(json_object *olsrd, const DaemonFacts &daemon);

} // namespace tarvik

#endif
