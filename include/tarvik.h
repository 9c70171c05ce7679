/*
 * tarvik: access to the node's OLSR routing daemons, daemon state, local
 * socket requests, neighbour tables and MAC resolution.
 *
 * Plain C interface. Conventions that hold for every function below:
 *  - An int result of 0 means success.
 *  - A function that hands back a json_object gives the caller one
 *    reference; the caller releases it with json_object_put().
 *  - Heap texts and records handed to the caller are allocated with
 *    malloc() and released with free(), unless a function says otherwise.
 *  - Functions that report through an out-parameter write it only on
 *    success, unless a function says otherwise.
 *  - Everything blocks on the calling thread, each request against a
 *    deadline of its own; HTTP queries are never nested.
 */
#ifndef TARVIK_H
#define TARVIK_H

#include <stdbool.h>
#include <stdint.h>
#include <sys/socket.h>

#ifdef __cplusplus
extern "C" {
#endif

struct json_object;

#define TARVIK_EXPORT __attribute__((visibility("default")))

/* ------------------------------------------------------------------ */
/* HTTP fetch client                                                  */
/* ------------------------------------------------------------------ */

/* FetchError: the result codes of a fetch. Codes with the bit
 * FETCH_ERR_HTTP set carry the final HTTP status in their low bits. */
enum {
	FETCH_OK = 0,
	FETCH_ERR_CONNECT = 1,            /* "Connection failed" */
	FETCH_ERR_TIMEOUT = 2,            /* "Connection timed out" */
	FETCH_ERR_REDIRECT = 32,          /* "Failed to redirect" */
	FETCH_ERR_TOO_MANY_REDIRECTS = 33,/* "Too many redirects" */
	FETCH_ERR_PREMATURE_EOF = 34,     /* "Connection reset prematurely" */
	FETCH_ERR_SIZE = 35,              /* "Incorrect file size" */
	FETCH_ERR_HTTP = 0x400,           /* "HTTP error %d" */
	FETCH_ERR_NOT_JSON = 0x800        /* "Response not json" */
};

/* One piece of a collected body: `length` heap bytes at `data`. The
 * last chunk of a list is empty (data NULL, length 0). */
typedef struct BodyChunk {
	char *data;
	int32_t length;
	struct BodyChunk *next;
} BodyChunk;

/* A body collected as a list of chunks. `tail` is the empty chunk that
 * the next block fills; `total` counts the bytes collected; `failed` is
 * set once reading or storing a block failed and is never cleared. */
typedef struct BodyBuffer {
	BodyChunk *tail;
	BodyChunk *head;
	int32_t total;
	int32_t failed;
} BodyBuffer;

/* The client handle that get_url's callbacks receive. `priv` points at
 * the FetchRequest of the running get_url; everything else about the
 * client is private to the library. */
struct uclient {
	void *priv;
};

typedef void (*fetch_callback)(struct uclient *cl);

/* The state of one request, shared by get_url and its callbacks. */
typedef struct FetchRequest {
	void *result;          /* the caller's record (a QueryResult) */
	int32_t redirects;     /* redirects followed so far */
	int32_t error;         /* FetchError stored by the step that ended it */
	int32_t received;      /* body bytes read so far */
	int32_t expected;      /* expected body length, -1 when unknown */
	fetch_callback complete; /* runs once, after a clean end of the body */
} FetchRequest;

/* The record of one daemon query: zeroed by the caller, then `body` set
 * to a new BodyBuffer. `value` receives the parsed json_object (JSON
 * form) or the joined text (raw form, `length` counting its NUL). */
typedef struct QueryResult {
	int32_t length;
	int32_t error;
	void *value;
	BodyBuffer *body;
} QueryResult;

/* Bounds of every answer that get_url reads:
 *  - TARVIK_MAX_HEAD_BYTES: the header block (status line and every header
 *    line, counted whole, lines that are ignored included). A longer one,
 *    or one whose Content-Length lines disagree or do not read as a
 *    number, ends the request with 34 (FETCH_ERR_PREMATURE_EOF).
 *  - TARVIK_MAX_BODY_BYTES: the body. A larger Content-Length is refused
 *    with 35 (FETCH_ERR_SIZE) before any of the body is read; a body that
 *    grows past it (close-delimited or chunked) ends the request with 35
 *    in the read that crosses it.
 *  - The time-out (300 s) counts from the start of the request, redirects
 *    included: a server that sends slowly cannot stretch it (2,
 *    FETCH_ERR_TIMEOUT).
 * and of every answer that the library parses as JSON (the JSON forms of
 * the daemon queries, socket_request_json):
 *  - TARVIK_MAX_PARSE_BYTES: what parsing it may cost in memory, estimated
 *    from its text before parsing: 1024 bytes for each object, 320 for
 *    each array, object member and other value, what json-c allocates for
 *    them rounded up (it spends about 800 bytes on an empty object of
 *    two). An answer estimated higher is not parsed: the JSON forms of
 *    the daemon queries give 35 (FETCH_ERR_SIZE). Live answers of tens of
 *    KiB estimate at about twenty times their size; an olsrd "links"
 *    answer reaches the budget at some 500 links. So a hostile answer
 *    costs at most about this much besides its own bytes. */
#define TARVIK_MAX_HEAD_BYTES 65536
#define TARVIK_MAX_BODY_BYTES (16 * 1048576)
#define TARVIK_MAX_PARSE_BYTES (4 * 1048576)

/* One blocking HTTP GET of `url`, escaped with curl_easy_escape on the
 * way out, following at most 10 redirects and accepting only status 200.
 * `data_read` runs whenever body bytes are waiting and reads them with
 * uclient_read_account (or get_all_data_process); `complete` runs once
 * after a clean end of the body. `result` is handed to the callbacks
 * through FetchRequest.result. `expected` is the expected body length, or
 * -1 when unknown. Content-Length lines that repeat one value count as
 * one. Bytes already received behind a body of announced Content-Length
 * when it ends make the answer malformed (35); bytes that come only later
 * go unseen. Returns a FetchError code; after a failure,
 * uclient_get_errmsg of that code also says why.
 * Never to be called from inside another request's callbacks. */
TARVIK_EXPORT int get_url(const char *url, fetch_callback data_read,
                          fetch_callback complete, void *result, int expected);

/* Reads up to `capacity` body bytes into `buffer`, counting them against
 * the expected length. Returns the count, 0 when nothing is waiting, or a
 * negative value on failure (-1 after a length violation, which ends the
 * request with 35). */
TARVIK_EXPORT int uclient_read_account(struct uclient *cl, char *buffer,
                                       int capacity);

/* A new, empty BodyBuffer, or NULL when memory runs out. */
TARVIK_EXPORT BodyBuffer *get_all_data_init(void);

/* Drains every body byte waiting on the client into `body`. Always 0;
 * failures set body->failed. A body of announced length is collected in
 * one chunk of its size; any other in blocks of at most 1 MiB, a chunk
 * each. */
TARVIK_EXPORT int get_all_data_process(struct uclient *cl, BodyBuffer *body);

/* Joins `body` into one NUL-terminated heap text (caller frees) and its
 * length including the NUL, releasing the chunks. Nonzero, with both
 * outputs untouched, when the body has failed or memory runs out. */
TARVIK_EXPORT int get_all_data_finalize(BodyBuffer *body, char **text,
                                        int *length);

/* The text of a FetchError code. Never NULL, never to be freed. When the
 * last request failed with this code, the text names the reason too
 * ("Connection reset prematurely: malformed chunk size"). Texts of HTTP
 * codes, and texts with a reason, live in static buffers that the next
 * such call reuses. */
TARVIK_EXPORT const char *uclient_get_errmsg(int code);

/* Percent-escapes every byte after the third "/" of `text` that is not
 * unreserved (RFC 3986). `length` 0 means strlen(text). Returns a new heap
 * text (caller frees), or NULL. */
TARVIK_EXPORT char *curl_easy_escape(const char *text, int length);

/* Nonzero exactly for A-Z, a-z, 0-9, "-", ".", "_" and "~". */
TARVIK_EXPORT int Curl_isunreserved(unsigned char c);

/* ------------------------------------------------------------------ */
/* Routing-daemon queries                                             */
/* ------------------------------------------------------------------ */

/* Sends `command` to olsrd (http://127.0.0.1:9090) or olsrd2
 * (http://127.0.0.1:1980/telnet). Returns a FetchError code. On 0,
 * `*answer` receives the answer (the caller owns it): a json_object,
 * possibly NULL when a text beginning with "{" did not parse, or for the
 * raw form a NUL-terminated heap text. An answer for the JSON forms whose
 * parse would cost more than TARVIK_MAX_PARSE_BYTES is not parsed: 35
 * (FETCH_ERR_SIZE). On failure `*answer` is left exactly as the caller
 * set it. */
TARVIK_EXPORT int olsr1_get_nodeinfo(const char *command,
                                     struct json_object **answer);
TARVIK_EXPORT int olsr2_get_nodeinfo(const char *command,
                                     struct json_object **answer);
TARVIK_EXPORT int olsr2_get_nodeinfo_raw(const char *command, char **answer);

/* ------------------------------------------------------------------ */
/* Mesh configuration and daemon state                                */
/* ------------------------------------------------------------------ */

/* Which daemons the site enables and whether each runs; each flag 0 or 1.
 * A running flag is only set together with its enabled flag. */
typedef struct DaemonState {
	uint8_t olsr1_enabled;
	uint8_t olsr1_running;
	uint8_t olsr2_enabled;
	uint8_t olsr2_running;
} DaemonState;

/* Fills `state` from the site configuration and the daemons' init
 * scripts. Returns 0, or 1 when the configuration cannot be loaded or
 * lacks "mesh" -> "olsrd"; `state` is then untouched. */
TARVIK_EXPORT int oi(DaemonState *state);

/* Runs the program at `path` (no PATH search) with the given arguments,
 * ended by NULL, and waits for it. True exactly when it exited normally
 * with status 0. */
TARVIK_EXPORT bool success_exit(const char *path, ...);

/* ------------------------------------------------------------------ */
/* Local socket requests                                              */
/* ------------------------------------------------------------------ */

/* Connects to the UNIX stream socket at `path`, sends `request` (its
 * bytes, nothing added) and shuts down the writing side. Without
 * `answer`: returns the connected descriptor, which the caller reads and
 * closes. With `answer`: returns 0 and stores a 4096-byte heap buffer
 * (caller frees) holding the start of the answer; the descriptor is
 * closed; bytes past the received ones are 0. On failure returns a
 * negated errno value and stores nothing; a path longer than 107
 * characters gives -ENAMETOOLONG. Every wait (connecting, sending, and
 * with `answer` the first bytes of the answer) gives up after 3 s of
 * silence, and the exchange as a whole after 10 s, with -ETIMEDOUT. The
 * returned descriptor keeps the 3 s bound on silence, so a read of it
 * fails with EAGAIN after 3 s without data; bounding the caller's reads
 * as a whole is the caller's part. */
TARVIK_EXPORT int socket_request(const char *path, const char *request,
                                 char **answer);

/* The whole answer to `request` on `path` parsed as one JSON value, or
 * NULL on any failure: 3 s of silence at any wait, an exchange that is
 * not over 10 s after it began, an answer over 4 MiB (4194304 bytes, of
 * which no more is read), and an answer whose parse would cost more than
 * TARVIK_MAX_PARSE_BYTES (4 MiB, as estimated from its text before
 * parsing: 1024 bytes for each object, 320 for each array, object member
 * and other value) included. */
TARVIK_EXPORT struct json_object *socket_request_json(const char *path,
                                                      const char *request);

/* ------------------------------------------------------------------ */
/* Neighbour tables                                                   */
/* ------------------------------------------------------------------ */

/* NeighbourTable: a json_object keyed by neighbour MAC address text, each
 * value a neighbour record. The functions return NULL on failure.
 * olsr1_get_neigh resolves each olsrd link in the ARP table, else by an
 * ARP probe: the links that the table lacks are probed for together, one
 * request per interface and address, with one wait of at most a second
 * for all the replies; an empty or unreadable ARP table only means that
 * every link is probed. A link whose address cannot be resolved is left
 * out. */
TARVIK_EXPORT struct json_object *olsr1_get_neigh(void);
TARVIK_EXPORT struct json_object *olsr2_get_neigh(void);

/* Merges one protocol's `table` into `merged` in place; `table` is only
 * read. `protocol` is at most 6 characters. */
TARVIK_EXPORT void merge_neighs(struct json_object *merged,
                                struct json_object *table,
                                const char *protocol);

/* The merged table of every running daemon (olsrd2 first), an empty
 * object when none runs, or NULL when the daemon state or a running
 * daemon's table cannot be had. */
TARVIK_EXPORT struct json_object *get_merged_neighs(void);

/* ------------------------------------------------------------------ */
/* MAC address resolution                                             */
/* ------------------------------------------------------------------ */

/* One entry of an ARP list; a list is held by its first entry and owns
 * all its entries. */
typedef struct ArpEntry {
	char ip[1024];
	char mac[1024];
	char device[1024];
	struct ArpEntry *next;
} ArpEntry;

/* A snapshot of /proc/net/arp in file order, or NULL when it cannot be
 * read or holds no entries. Free it with cleanup_arp_cache. */
TARVIK_EXPORT ArpEntry *read_arp_cache(void);

/* Frees every entry of `list`; NULL is allowed. */
TARVIK_EXPORT void cleanup_arp_cache(ArpEntry *list);

/* The MAC address text of `ip` on `device` from `list`, as a new
 * 1024-byte heap buffer (caller frees), or NULL. An entry without a
 * hardware address (an incomplete kernel entry: 00:00:00:00:00:00) is no
 * match. A nonzero `probe` allows one ARP probe when the list has no
 * match; its result is appended to the list. An empty list (NULL) gives
 * NULL without a probe. */
TARVIK_EXPORT char *resolve_mac(ArpEntry *list, const char *device,
                                const char *ip, int probe);

/* Broadcasts one ARP request for `ip` on `device` and waits, until one
 * deadline, for an ARP reply sent by `ip` to `device`'s own address;
 * other replies are passed over. Returns a new entry (caller frees) or
 * NULL. */
TARVIK_EXPORT ArpEntry *test_arping(const char *device, const char *ip);

/* The IPv4 address (network byte order), 6-byte MAC address and index of
 * `device`. 0, or -1 on failure. */
TARVIK_EXPORT int get_if_info(const char *device, uint32_t *ip,
                              uint8_t *mac, int *ifindex);

/* The IPv4 address of `device`, asked on socket `fd`. 0, or -1. */
TARVIK_EXPORT int get_if_ip4(int fd, const char *device, uint32_t *ip);

/* Stores the address of an AF_INET `addr` and returns 0; 1 otherwise. */
TARVIK_EXPORT int int_ip4(const struct sockaddr *addr, uint32_t *ip);

/* Writes the dotted-decimal text of an AF_INET `addr` into `out` (at
 * least 16 bytes): 0; -1 when not AF_INET; -2 when no text was made. */
TARVIK_EXPORT int format_ip4(const struct sockaddr *addr, char *out);

/* A packet socket for ARP bound to interface `ifindex`, in `*fd`: 0, or
 * -1. */
TARVIK_EXPORT int bind_arp(int ifindex, int *fd);

/* Broadcasts one ARP request for `dst_ip` from `src_mac`/`src_ip` on
 * interface `ifindex`. 0, or -1. Addresses in network byte order. */
TARVIK_EXPORT int send_arp(int fd, int ifindex, const uint8_t *src_mac,
                           uint32_t src_ip, uint32_t dst_ip);

/* Receives one frame; when it is an ARP reply for Ethernet and IPv4 from
 * a unicast, nonzero MAC address, fills entry->ip and entry->mac from its
 * sender and returns 0, else -1. Whom the reply was for is not checked:
 * a descriptor does not say which address is ours. */
TARVIK_EXPORT int read_arp(int fd, ArpEntry *entry);

/* Trace hook of the probe functions; does nothing. */
TARVIK_EXPORT void vfnc(void);

#ifdef __cplusplus
}
#endif

#endif /* TARVIK_H */
