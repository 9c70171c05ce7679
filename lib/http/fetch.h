// The fetch client's steps inside the library: the daemon queries use
// them, and the unit tests reach them through the static archive.
#ifndef TARVIK_HTTP_FETCH_H
#define TARVIK_HTTP_FETCH_H

#include "tarvik.h"

namespace tarvik {

// The time-out of every daemon query, from its start to its end,
// redirects included.
constexpr int kFetchTimeoutMs = 300000;

// get_url with the time-out as a parameter; get_url passes kFetchTimeoutMs.
int get_url_timeout(const char *url, fetch_callback data_read, fetch_callback complete,
                    void *result, int expected, int timeout_ms);

// Ends the request with `code`: every end passes through here.
void fetch_stop(uclient *cl, int code);
// The body is whole: ends the request and runs the completion step.
void fetch_data_eof(uclient *cl);
// The data callback of every query: collects into the QueryResult's body.
void fetch_data_read(uclient *cl);
// Completion steps: the body as a JSON object, or as text.
void finish_json(uclient *cl);
void finish_raw(uclient *cl);

// Releases a BodyBuffer record and whatever chunks it still holds (all of
// them when it was never joined, none after joining). NULL is allowed.
void body_buffer_free(BodyBuffer *body);

} // namespace tarvik

#endif
