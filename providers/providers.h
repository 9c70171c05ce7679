// The node-information documents and the functions that build them.
#ifndef DRAVEL_PROVIDERS_H
#define DRAVEL_PROVIDERS_H

#include <json-c/json.h>

#endif
