// MAC resolution inside the library: the ARP table text, ARP frames and
// the probe, each reachable without the kernel where it can be. The frame
// rule and the probe's wait are inline over exported functions, so that
// olsr-kavond --check, which reaches the library through libtarvik.so,
// probes as the neighbours document does.
#ifndef TARVIK_ARP_H
#define TARVIK_ARP_H

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>

#include "clock.h"
#include "holders.h"
#include "tarvik.h"

struct sockaddr_ll;

namespace tarvik {

// The bound on the wait for ARP replies: one deadline per wait, however
// many requests it waits for.
constexpr int kArpProbeTimeoutMs = 1000;
// The bytes of an ARP frame that are sent and read (Ethernet + ARP).
constexpr size_t kArpFrameLength = 42;
// The buffer an ARP frame is built or received in.
constexpr size_t kArpFrameBuffer = 60;

// Offsets in an Ethernet frame carrying ARP for Ethernet and IPv4.
namespace arp_at {
constexpr size_t kEthDest = 0;
constexpr size_t kEthSource = 6;
constexpr size_t kEthType = 12;
constexpr size_t kHardwareType = 14;
constexpr size_t kProtocolType = 16;
constexpr size_t kHardwareLength = 18;
constexpr size_t kProtocolLength = 19;
constexpr size_t kOperation = 20;
constexpr size_t kSenderMac = 22;
constexpr size_t kSenderIp = 28;
constexpr size_t kTargetMac = 32;
constexpr size_t kTargetIp = 38;
static_assert(kTargetIp + 4 == kArpFrameLength);
} // namespace arp_at

// The values of a request and of a reply that are taken: ARP for Ethernet
// (hardware type 1, 6-byte addresses) and IPv4 (0x0800, 4 bytes).
constexpr uint16_t kArpEtherType = 0x0806;
constexpr uint16_t kArpHardwareEthernet = 1;
constexpr uint16_t kArpProtocolIpv4 = 0x0800;
constexpr uint8_t kArpMacLength = 6;
constexpr uint8_t kArpIpv4Length = 4;
constexpr uint16_t kArpOpRequest = 1;
constexpr uint16_t kArpOpReply = 2;

inline uint16_t arp_get16(const uint8_t *at) {
	return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

// The entries of an ARP table text in the form of /proc/net/arp (a header
// line, then one row per entry), read from `table`, in row order; NULL
// when there is no row. The caller closes `table`.
ArpEntry *parse_arp_table(FILE *table);

// Interprets a received frame of `length` bytes. It is a reply only when
// it is an ARP reply of at least kArpFrameLength bytes for Ethernet and
// IPv4 (types 1 and 0x0800, lengths 6 and 4) whose sender MAC is a unicast
// address other than zero (a group or null address is no neighbour's
// key), and, when `our_ip` (network byte order) is given, whose target is
// that address: a reply to another host's request tells nothing about
// ours. Then fills entry->ip and entry->mac from its sender and returns
// 0; otherwise -1 with the entry untouched.
inline int arp_reply_from_frame(const uint8_t *frame, size_t length,
                                std::optional<uint32_t> our_ip, ArpEntry *entry) {
	using namespace arp_at;
	// A frame too short to hold the addresses is no reply, even when the
	// bytes it does hold look like one.
	if (frame == nullptr || entry == nullptr || length < kArpFrameLength)
		return -1;
	if (arp_get16(frame + kEthType) != kArpEtherType ||
	    arp_get16(frame + kHardwareType) != kArpHardwareEthernet ||
	    arp_get16(frame + kProtocolType) != kArpProtocolIpv4 ||
	    frame[kHardwareLength] != kArpMacLength || frame[kProtocolLength] != kArpIpv4Length ||
	    arp_get16(frame + kOperation) != kArpOpReply)
		return -1;
	const uint8_t *mac = frame + kSenderMac;
	constexpr uint8_t kZeroMac[kArpMacLength] = {};
	// The group bit is the lowest bit of the first byte (broadcast too).
	if ((mac[0] & 1) != 0 || memcmp(mac, kZeroMac, kArpMacLength) == 0)
		return -1;
	if (our_ip && memcmp(frame + kTargetIp, &*our_ip, 4) != 0)
		return -1;
	snprintf(entry->mac, sizeof entry->mac, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1],
	         mac[2], mac[3], mac[4], mac[5]);
	char ip[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, frame + kSenderIp, ip, sizeof ip);
	snprintf(entry->ip, sizeof entry->ip, "%s", ip);
	return 0;
}

// Builds the ARP request for `dst_ip` from `src_mac`/`src_ip` (network
// byte order) in `frame` (kArpFrameBuffer bytes, cleared first).
void build_arp_request(uint8_t *frame, const uint8_t *src_mac, uint32_t src_ip,
                       uint32_t dst_ip);
// The link-layer address that the request is sent to on `ifindex`.
void arp_request_address(sockaddr_ll *addr, int ifindex, const uint8_t *src_mac);

// One address to probe for: an interface name and an IPv4 address text.
struct ArpTarget {
	const char *device;
	const char *ip;
};

namespace arp_wait {

// An interface of a run of probes: its addresses (network byte order) and
// index. Its packet socket is the pollfd of the same place.
struct Interface {
	const char *device;
	uint32_t ip;
	uint8_t mac[kArpMacLength];
	int ifindex;
};

// A request that went out: the address asked for, its interface, and the
// reply once one came.
struct Request {
	bool waiting;
	uint32_t ip;
	size_t interface;
	ArpEntry *reply;
};

// The packet sockets of a run, one per interface (-1: none), closed with it.
struct Sockets {
	pollfd *fds = nullptr;
	size_t count = 0;
	~Sockets() {
		for (size_t i = 0; i < count; i++)
			if (fds[i].fd >= 0)
				close(fds[i].fd);
		free(fds);
	}
};

// Whether targets[i] (both texts given) repeats an earlier target.
inline bool listed_before(const ArpTarget *targets, size_t i) {
	for (size_t j = 0; j < i; j++)
		if (targets[j].device != nullptr && targets[j].ip != nullptr &&
		    strcmp(targets[j].device, targets[i].device) == 0 &&
		    strcmp(targets[j].ip, targets[i].ip) == 0)
			return true;
	return false;
}

// Frames read from one socket per wake-up: a host that floods the link
// faster than they are read cannot hold the wait past its deadline, which
// the caller checks between wake-ups.
constexpr int kFramesPerWake = 64;

// Reads the frames waiting on the socket of interface `at`, at most
// kFramesPerWake, and hands each reply to the request it answers. The
// number of requests answered.
inline size_t take_replies(int fd, size_t at, const Interface &interface, Request *requests,
                           size_t count) {
	size_t answered = 0;
	for (int frames = 0; frames < kFramesPerWake; frames++) {
		uint8_t frame[kArpFrameBuffer];
		ssize_t got = recv(fd, frame, sizeof frame, MSG_DONTWAIT);
		if (got < 0) {
			// A receive error (the link went down) is reported and passed
			// over like a foreign frame: only the deadline ends the wait.
			if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
				perror("recvfrom()");
			return answered;
		}
		ArpEntry sender;
		in_addr from;
		if (arp_reply_from_frame(frame, static_cast<size_t>(got), interface.ip, &sender) != 0 ||
		    inet_pton(AF_INET, sender.ip, &from) != 1)
			continue;
		for (size_t i = 0; i < count; i++) {
			Request &r = requests[i];
			if (!r.waiting || r.interface != at || r.ip != from.s_addr)
				continue;
			r.reply = static_cast<ArpEntry *>(calloc(1, sizeof(ArpEntry)));
			if (r.reply == nullptr)
				break;
			memcpy(r.reply->ip, sender.ip, sizeof sender.ip);
			memcpy(r.reply->mac, sender.mac, sizeof sender.mac);
			snprintf(r.reply->device, sizeof r.reply->device, "%s", interface.device);
			r.waiting = false;
			answered++;
			break;
		}
	}
	return answered;
}

} // namespace arp_wait

// Probes for every one of the `count` targets at once: one ARP request
// each (a target listed again is asked once) on a packet socket per
// interface, then one wait on all the sockets together until
// `timeout_ms` after the requests went out, for a reply from each asked
// address whose target is the interface's own address. Other frames,
// replies and receive errors are passed over without extending the wait.
// A refused address or an unusable interface says so on standard output
// (an interface once) and is not asked. Returns the replies as a new list
// in the order of `targets` (sender address text, MAC, the target's
// interface), NULL when none came; `*sent`, when given, is the number of
// requests that went out.
inline ArpEntry *arp_probe_targets(const ArpTarget *targets, size_t count, int timeout_ms,
                                   size_t *sent) {
	using namespace arp_wait;
	if (sent != nullptr)
		*sent = 0;
	size_t room = count > 0 ? count : 1;
	MallocPtr<Request> requests(static_cast<Request *>(calloc(room, sizeof(Request))));
	MallocPtr<Interface> interfaces(static_cast<Interface *>(calloc(room, sizeof(Interface))));
	Sockets sockets;
	sockets.fds = static_cast<pollfd *>(calloc(room, sizeof(pollfd)));
	if (!requests || !interfaces || sockets.fds == nullptr)
		return nullptr;

	size_t waiting = 0;
	for (size_t i = 0; i < count; i++) {
		const ArpTarget &t = targets[i];
		if (t.device == nullptr || t.ip == nullptr || listed_before(targets, i))
			continue;
		in_addr_t ip = inet_addr(t.ip);
		if (ip == 0 || ip == INADDR_NONE) {
			puts("Invalid source IP");
			putchar('\n');
			continue;
		}
		size_t at = 0;
		while (at < sockets.count && strcmp(interfaces.get()[at].device, t.device) != 0)
			at++;
		Interface &interface = interfaces.get()[at];
		pollfd &watch = sockets.fds[at];
		if (at == sockets.count) {
			// A new interface: asked for its addresses and bound once,
			// also when that fails (fd -1, which poll passes over).
			sockets.count++;
			interface.device = t.device;
			watch = {-1, POLLIN, 0};
			if (get_if_info(t.device, &interface.ip, interface.mac, &interface.ifindex) != 0)
				printf("get_if_info failed, interface %s not found or no IP set?\n", t.device);
			else if (bind_arp(interface.ifindex, &watch.fd) != 0)
				printf("Failed to bind_arp()\n");
		}
		if (watch.fd < 0)
			continue;
		if (send_arp(watch.fd, interface.ifindex, interface.mac, interface.ip, ip) != 0) {
			printf("Failed to send_arp\n");
			continue;
		}
		requests.get()[i] = {true, ip, at, nullptr};
		waiting++;
	}
	if (sent != nullptr)
		*sent = waiting;

	const Deadline deadline(timeout_ms);
	while (waiting > 0) {
		int left = deadline.remaining_ms();
		if (left <= 0)
			break;
		int ready = poll(sockets.fds, sockets.count, left);
		if (ready < 0 && errno == EINTR)
			continue;
		if (ready <= 0)
			break;
		for (size_t at = 0; at < sockets.count; at++)
			if (sockets.fds[at].revents != 0)
				waiting -= take_replies(sockets.fds[at].fd, at, interfaces.get()[at],
				                        requests.get(), count);
	}

	ArpEntry *replies = nullptr;
	ArpEntry **tail = &replies;
	for (size_t i = 0; i < count; i++)
		if (ArpEntry *reply = requests.get()[i].reply) {
			*tail = reply;
			tail = &reply->next;
		}
	return replies;
}

// test_arping with the bound on the wait as a parameter.
ArpEntry *arp_probe(const char *device, const char *ip, int timeout_ms);

struct ArpListFree {
	void operator()(ArpEntry *list) const { cleanup_arp_cache(list); }
};
// An ARP list (an ArpEntry chain), freed with cleanup_arp_cache.
using ArpListPtr = Owner<ArpEntry, ArpListFree>;

} // namespace tarvik

#endif
