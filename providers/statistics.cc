// The statistics document: zistad's roaming clients and the traffic
// counters of the interface "local-port", read from the kernel with one
// rtnetlink RTM_GETLINK request.
#include <json-c/json.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <errno.h>

#include "holders.h"
#include "json_helpers.h"
#include "statistics.h"
#include "tarvik.h"

namespace {

using namespace tarvik;

constexpr size_t kReplyBufferSize = 4096;

static_assert(sizeof(link_stats64) == 192, "24 counters of 8 bytes");
static_assert(offsetof(link_stats64, rx_nohandler) == offsetof(rtnl_link_stats64, rx_nohandler),
              "the record follows the kernel's counter order");

// The request as it is built: the two headers and room for attributes,
// zeroed, of which the first kLinkRequestSize bytes are sent.
struct LinkRequest {
	nlmsghdr header;
	ifinfomsg info;
	unsigned char attributes[512];
};

// A reply is read as a netlink header and a link message header, then
// the link attributes.
constexpr size_t kReplyHeaders = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifinfomsg));
static_assert(kReplyHeaders == 32);

size_t smaller(size_t a, size_t b) { return a < b ? a : b; }

bool add_counter(json_object *object, const char *key, uint64_t counter) {
	// The kernel's counters are unsigned 64-bit: a signed integer would
	// show a counter at or above 2^63 as a negative number.
	json_object *value = json_object_new_uint64(counter);
	return value != nullptr && add_owned(object, key, value);
}

json_object *counters(uint64_t bytes, uint64_t packets, uint64_t dropped, uint64_t errors) {
	JsonPtr object(json_object_new_object());
	if (!object || !add_counter(object.get(), "bytes", bytes) ||
	    !add_counter(object.get(), "packets", packets) ||
	    !add_counter(object.get(), "dropped", dropped) ||
	    !add_counter(object.get(), "errors", errors))
		return nullptr;
	return object.release();
}

} // namespace

void build_link_request(uint32_t ifindex, unsigned char request[kLinkRequestSize]) {
	LinkRequest req;
	memset(&req, 0, sizeof req);
	req.header.nlmsg_len = kLinkRequestSize;
	req.header.nlmsg_type = RTM_GETLINK;
	req.header.nlmsg_flags = NLM_F_REQUEST;
	req.info.ifi_family = AF_UNSPEC;
	req.info.ifi_index = static_cast<int>(ifindex);
	req.info.ifi_change = 0xFFFFFFFFu;
	// One IFLA_STATS attribute with four zero bytes, right behind the
	// headers; the zero bytes after it count in the message length but
	// belong to no attribute.
	rtattr attr = {};
	attr.rta_len = RTA_LENGTH(4);
	attr.rta_type = IFLA_STATS;
	static_assert(NLMSG_ALIGN(offsetof(LinkRequest, attributes)) == 32);
	memcpy(req.attributes, &attr, sizeof attr);
	memcpy(request, &req, kLinkRequestSize);
}

int read_link_stats64(const unsigned char *reply, size_t received, link_stats64 *stats) {
	if (reply == nullptr || received < kReplyHeaders)
		return ENODATA;
	// The message's own length bounds the walk, and so do the bytes that
	// arrived: a reply cut by the receive is walked only as far as it came.
	uint32_t message_length;
	memcpy(&message_length, reply, sizeof message_length);
	size_t end = smaller(message_length, received);
	if (end < kReplyHeaders)
		return ENODATA;

	size_t at = kReplyHeaders;
	size_t left = end - kReplyHeaders;
	while (left >= sizeof(rtattr)) {
		rtattr attr;
		memcpy(&attr, reply + at, sizeof attr);
		if (attr.rta_len < sizeof(rtattr) || attr.rta_len > left)
			break;
		if (attr.rta_type == IFLA_STATS64) {
			size_t payload = attr.rta_len - RTA_LENGTH(0);
			link_stats64 found = {};
			memcpy(&found, reply + at + RTA_LENGTH(0), smaller(payload, sizeof found));
			*stats = found;
			return 0;
		}
		// Attributes start at multiples of 4; a last attribute whose
		// padding would pass the end leaves nothing to walk.
		size_t step = RTA_ALIGN(attr.rta_len);
		if (step >= left)
			break;
		at += step;
		left -= step;
	}
	return ENODATA;
}

int get_link_stats64(link_stats64 **out) {
	*out = nullptr;
	Fd fd(socket(AF_NETLINK, SOCK_RAW, NETLINK_ROUTE));
	if (!fd)
		return errno;

	// Port id = process id: a second route-netlink socket of this process
	// holding that id makes the bind fail with EADDRINUSE.
	sockaddr_nl local = {};
	local.nl_family = AF_NETLINK;
	local.nl_pid = static_cast<uint32_t>(getpid());
	local.nl_groups = 0;
	if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0)
		return errno;

	// A missing interface gives index 0; the kernel then answers with an
	// error, which holds no statistics.
	unsigned char request[kLinkRequestSize];
	build_link_request(if_nametoindex(kTrafficInterface), request);
	if (send(fd.get(), request, sizeof request, 0) < 0)
		return errno;

	alignas(nlmsghdr) unsigned char reply[kReplyBufferSize];
	ssize_t received = recv(fd.get(), reply, sizeof reply, 0);
	if (received < 0)
		return errno;

	link_stats64 stats;
	if (int rc = read_link_stats64(reply, static_cast<size_t>(received), &stats); rc != 0)
		return rc;
	MallocPtr<link_stats64> record(static_cast<link_stats64 *>(malloc(sizeof(link_stats64))));
	if (!record)
		return ENOMEM;
	*record = stats;
	*out = record.release();
	return 0;
}

json_object *traffic_from_stats(const link_stats64 *stats) {
	JsonPtr traffic(json_object_new_object());
	JsonPtr rx(counters(stats->rx_bytes, stats->rx_packets, stats->rx_dropped, stats->rx_errors));
	JsonPtr tx(counters(stats->tx_bytes, stats->tx_packets, stats->tx_dropped, stats->tx_errors));
	if (!traffic || !rx || !tx || !add_owned(traffic.get(), "rx", rx.release()) ||
	    !add_owned(traffic.get(), "tx", tx.release()))
		return nullptr;
	return traffic.release();
}

json_object *get_traffic(void) {
	link_stats64 *raw = nullptr;
	if (get_link_stats64(&raw) != 0)
		return nullptr;
	MallocPtr<link_stats64> stats(raw);
	return traffic_from_stats(stats.get());
}

json_object *clients_from_answer(json_object *answer) {
	JsonPtr clients(json_object_new_object());
	if (!clients)
		return nullptr;
	// Both values are shared with the answer, not copied. A missing
	// "clients" is a JSON null; a missing or null "clientlist" an empty
	// object. An answer that is not an object has neither.
	if (!add_shared(clients.get(), "total", member(answer, kZistadClients)))
		return nullptr;
	json_object *list = member(answer, kZistadClientList);
	if (list != nullptr ? !add_shared(clients.get(), "list", list)
	                    : !add_new(clients.get(), "list", json_object_new_object()))
		return nullptr;
	return clients.release();
}

json_object *provider_statistics(void) {
	JsonPtr document(json_object_new_object());
	if (!document)
		return nullptr;
	JsonPtr clients;
	if (JsonPtr answer{socket_request_json(kZistadSocket, kZistadRequest)})
		clients.reset(clients_from_answer(answer.get()));
	if (!add_owned(document.get(), "clients", clients.release()) ||
	    !add_owned(document.get(), "traffic", get_traffic()))
		return nullptr;
	return document.release();
}
