/*
 * The provider table through which the node's information responder gets
 * the documents. Plain C.
 *
 * The loadable module (olsrd-kavond.so) exports the table under the
 * symbol name "kavond_providers": dlopen the module, dlsym that name, and
 * walk the rows until the one whose name is NULL. Each row's function
 * returns a new json_object (the caller releases it with json_object_put)
 * or NULL when no document is at hand.
 */
#ifndef KAVOND_PROVIDER_H
#define KAVOND_PROVIDER_H

#ifdef __cplusplus
extern "C" {
#endif

struct json_object;

struct kavond_provider {
	const char *name;
	struct json_object *(*cb)(void);
};

#define KAVOND_PROVIDERS_SYMBOL "kavond_providers"

extern const struct kavond_provider kavond_providers[];

#ifdef __cplusplus
}
#endif

#endif
