// Socket requests with their bounds as parameters, for the library's
// unit tests; the exported functions pass the defaults.
#ifndef TARVIK_SOCKET_REQUEST_H
#define TARVIK_SOCKET_REQUEST_H

#include <json-c/json.h>
#include <stddef.h>

namespace tarvik {

// The bounds of one socket request. Each wait (connecting, sending, each
// receive of the answer) gives up after kSocketSilenceMs of silence: a
// local daemon answers in milliseconds. The whole exchange, from the
// start to the end of the answer, gives up after kSocketExchangeMs, so a
// peer that trickles a byte now and then cannot hold the caller; and an
// answer longer than kSocketAnswerMax is refused, so a peer that sends
// without end cannot fill the caller's memory (zistad's answer is a few
// KiB).
constexpr int kSocketSilenceMs = 3000;
constexpr int kSocketExchangeMs = 10000;
constexpr size_t kSocketAnswerMax = 4 << 20;

// socket_request and socket_request_json with the bounds as parameters;
// the exported functions pass the constants above. `*error`, when given,
// receives 0 or the negated errno value of the failure (-ETIMEDOUT when a
// bound ran out, -EMSGSIZE for an answer over `answer_max` bytes or one
// whose parse would cost more than TARVIK_MAX_PARSE_BYTES, -EINVAL for an
// answer that is not one JSON value).
int socket_request_timeout(const char *path, const char *request, char **answer,
                           int timeout_ms, int exchange_ms = kSocketExchangeMs);
json_object *socket_request_json_timeout(const char *path, const char *request,
                                         int timeout_ms, int exchange_ms = kSocketExchangeMs,
                                         size_t answer_max = kSocketAnswerMax,
                                         int *error = nullptr);

} // namespace tarvik

#endif
