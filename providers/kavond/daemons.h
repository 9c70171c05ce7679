// The routing daemons as the operator knows them, by the index of
// kNodeinfoDaemons (nodeinfo.h): the names that the check and the refresh
// command's messages use.
#ifndef OLSR_KAVOND_DAEMONS_H
#define OLSR_KAVOND_DAEMONS_H

#include "nodeinfo.h"

namespace kavond {

constexpr const char *kDaemonNames[] = {"olsrd", "olsrd2"};
static_assert(sizeof kDaemonNames / sizeof kDaemonNames[0] ==
                  sizeof kNodeinfoDaemons / sizeof kNodeinfoDaemons[0],
              "a name for each daemon");

} // namespace kavond

#endif
