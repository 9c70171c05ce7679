// The per-daemon neighbour tables, built from answers given as
// parameters so that they can be fed any answer.
#ifndef TARVIK_NEIGHBOUR_TABLES_H
#define TARVIK_NEIGHBOUR_TABLES_H

#include <json-c/json.h>

#include "tarvik.h"

namespace tarvik {

// The olsrd NeighbourTable of a "links" answer (borrowed; NULL allowed),
// keyed by the MAC texts that olsrd_link_mac finds with `arp` (borrowed;
// probing when `probe` is nonzero). NULL when the answer has no "links"
// array, holds a null link, or memory runs out.
json_object *olsr1_neigh_table(json_object *answer, ArpEntry *arp, int probe);
// The olsrd2 NeighbourTable of a "nhdpinfo jsonraw link" answer
// (borrowed; NULL allowed); NULL as for olsr1_neigh_table.
json_object *olsr2_neigh_table(json_object *answer);
// A new double holding `value` that serialises as null when it is not
// finite (JSON has no text for infinities and NaN); NULL when memory runs
// out.
json_object *new_metric_double(double value);

} // namespace tarvik

#endif
