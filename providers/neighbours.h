// The neighbours document: the merged neighbour table of both routing
// daemons, regrouped under the hardware address of each local interface.
// A document is a new json_object that the caller releases with
// json_object_put.
#ifndef DRAVEL_NEIGHBOURS_H
#define DRAVEL_NEIGHBOURS_H

#include <json-c/json.h>

// The neighbours document, or NULL when the merged table cannot be had.
json_object *provider_neighbours(void);
// The neighbours document of the merged table `merged` (only read; an
// object, else the document has no neighbours): each record with an
// "ifname" text whose interface has a hardware address, shared under that
// address. NULL when memory runs out.
json_object *neighbours_from_merged(json_object *merged);

#endif
