// MAC address resolution: a snapshot of the kernel's ARP table, and an ARP
// probe on a raw packet socket for a neighbour that the table does not
// know. Everything in this library that talks to packet sockets and
// interface ioctls is here.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>

#include <errno.h>

#include "clock.h"
#include "holders.h"
#include "arp.h"

namespace tarvik {
namespace {

constexpr size_t kIfNameMax = IFNAMSIZ - 1; // 15: the kernel's name field less its NUL
constexpr size_t kMacLength = 6;
constexpr size_t kEntryText = sizeof(ArpEntry{}.ip);

static_assert(sizeof(sockaddr_ll) == 20, "the link-layer address is 20 bytes");
static_assert(kIfNameMax == 15, "interface names are at most 15 characters");

// Offsets in an Ethernet frame carrying ARP for Ethernet and IPv4.
constexpr size_t kEthDest = 0;
constexpr size_t kEthSource = 6;
constexpr size_t kEthType = 12;
constexpr size_t kArpHardwareType = 14;
constexpr size_t kArpProtocolType = 16;
constexpr size_t kArpHardwareLength = 18;
constexpr size_t kArpProtocolLength = 19;
constexpr size_t kArpOperation = 20;
constexpr size_t kArpSenderMac = 22;
constexpr size_t kArpSenderIp = 28;
constexpr size_t kArpTargetMac = 32;
constexpr size_t kArpTargetIp = 38;
static_assert(kArpTargetIp + 4 == kArpFrameLength);

constexpr uint16_t kArpRequest = 1;
constexpr uint16_t kArpReply = 2;

void put16(uint8_t *at, uint16_t value) {
	at[0] = static_cast<uint8_t>(value >> 8);
	at[1] = static_cast<uint8_t>(value);
}

uint16_t get16(const uint8_t *at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

int packet_socket() { return socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ARP)); }

// True when the hardware address text names no hardware: the kernel lists
// an address it could not resolve (an incomplete or failed entry) with
// 00:00:00:00:00:00, and an empty text names nothing either.
bool no_hardware_address(const char *mac) {
	for (; *mac != '\0'; mac++)
		if (*mac != '0' && *mac != ':')
			return false;
	return true;
}

// True when the reply in `entry` (as read_arp filled it) was sent for the
// address `target` (network byte order).
bool reply_from(const ArpEntry *entry, in_addr_t target) {
	in_addr sender;
	return inet_pton(AF_INET, entry->ip, &sender) == 1 && sender.s_addr == target;
}

} // namespace

ArpEntry *parse_arp_table(FILE *table) {
	char header[1024];
	if (fgets(header, sizeof header, table) == nullptr)
		return nullptr;
	ArpEntry *head = nullptr;
	ArpEntry **tail = &head;
	for (;;) {
		// The spare that the next row is read into. Should memory run out,
		// the rows read so far are kept: a neighbour missing from the
		// snapshot only costs a probe.
		MallocPtr<ArpEntry> spare(static_cast<ArpEntry *>(calloc(1, sizeof(ArpEntry))));
		if (!spare)
			break;
		// IP address, HW type, Flags, HW address, Mask, Device.
		if (fscanf(table, "%1023s %*s %*s %1023s %*s %1023s", spare->ip, spare->mac,
		           spare->device) != 3)
			break;
		*tail = spare.release();
		tail = &(*tail)->next;
	}
	return head;
}

int arp_reply_from_frame(const uint8_t *frame, size_t length, ArpEntry *entry) {
	// A frame too short to hold the sender's addresses is no reply, even
	// when the bytes it does hold look like one.
	if (frame == nullptr || entry == nullptr || length < kArpFrameLength)
		return -1;
	if (get16(frame + kEthType) != ETH_P_ARP || get16(frame + kArpOperation) != kArpReply)
		return -1;
	const uint8_t *mac = frame + kArpSenderMac;
	snprintf(entry->mac, sizeof entry->mac, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1],
	         mac[2], mac[3], mac[4], mac[5]);
	char ip[INET_ADDRSTRLEN];
	inet_ntop(AF_INET, frame + kArpSenderIp, ip, sizeof ip);
	snprintf(entry->ip, sizeof entry->ip, "%s", ip);
	return 0;
}

void build_arp_request(uint8_t *frame, const uint8_t *src_mac, uint32_t src_ip, uint32_t dst_ip) {
	memset(frame, 0, kArpFrameBuffer);
	memset(frame + kEthDest, 0xff, kMacLength);
	memcpy(frame + kEthSource, src_mac, kMacLength);
	put16(frame + kEthType, ETH_P_ARP);
	put16(frame + kArpHardwareType, ARPHRD_ETHER);
	put16(frame + kArpProtocolType, ETH_P_IP);
	frame[kArpHardwareLength] = kMacLength;
	frame[kArpProtocolLength] = 4;
	put16(frame + kArpOperation, kArpRequest);
	memcpy(frame + kArpSenderMac, src_mac, kMacLength);
	memcpy(frame + kArpSenderIp, &src_ip, 4); // already in network order
	// The target hardware address stays zero.
	static_assert(kArpTargetMac + kMacLength == kArpTargetIp);
	memcpy(frame + kArpTargetIp, &dst_ip, 4);
}

void arp_request_address(sockaddr_ll *addr, int ifindex, const uint8_t *src_mac) {
	memset(addr, 0, sizeof *addr);
	addr->sll_family = AF_PACKET;
	addr->sll_protocol = htons(ETH_P_ARP);
	addr->sll_ifindex = ifindex;
	addr->sll_hatype = htons(ARPHRD_ETHER);
	addr->sll_pkttype = PACKET_BROADCAST;
	addr->sll_halen = kMacLength;
	memcpy(addr->sll_addr, src_mac, kMacLength);
}

ArpEntry *arp_probe(const char *device, const char *ip, int timeout_ms) {
	if (device == nullptr || ip == nullptr)
		return nullptr;
	MallocPtr<ArpEntry> entry(static_cast<ArpEntry *>(calloc(1, sizeof(ArpEntry))));
	if (!entry)
		return nullptr;

	in_addr_t target = inet_addr(ip);
	if (target == 0 || target == INADDR_NONE) {
		puts("Invalid source IP");
		putchar('\n');
		return nullptr;
	}

	// get_if_info refuses every name longer than 15 characters, so the
	// name is copied only once it has passed there: a name too long for
	// the entry's field is refused, never cut.
	uint32_t src_ip = 0;
	uint8_t src_mac[kMacLength];
	int ifindex = 0;
	if (get_if_info(device, &src_ip, src_mac, &ifindex) != 0) {
		printf("get_if_info failed, interface %s not found or no IP set?\n", device);
		return nullptr;
	}
	snprintf(entry->device, sizeof entry->device, "%s", device);

	int raw_fd = -1;
	if (bind_arp(ifindex, &raw_fd) != 0) {
		printf("Failed to bind_arp()\n");
		return nullptr;
	}
	Fd fd(raw_fd);
	if (send_arp(fd.get(), ifindex, src_mac, src_ip, target) != 0) {
		printf("Failed to send_arp\n");
		return nullptr;
	}

	// One deadline for the whole wait: foreign frames, replies from other
	// hosts (a gratuitous reply, another probe's answer) and receive errors
	// are passed over, but none of them extends it.
	const Deadline deadline(timeout_ms);
	for (;;) {
		int left = deadline.remaining_ms();
		if (left <= 0)
			return nullptr;
		pollfd waiting = {fd.get(), POLLIN, 0};
		int ready = poll(&waiting, 1, left);
		if (ready < 0 && errno == EINTR)
			continue;
		if (ready <= 0)
			return nullptr;
		// Readable (or an error is pending): recvfrom does not block.
		if (read_arp(fd.get(), entry.get()) == 0 && reply_from(entry.get(), target))
			return entry.release();
	}
}

} // namespace tarvik

using namespace tarvik;

extern "C" {

ArpEntry *read_arp_cache(void) {
	FilePtr table(fopen("/proc/net/arp", "re"));
	if (!table) {
		perror("Arp Cache: Failed to open file \"/proc/net/arp\"");
		return nullptr;
	}
	return parse_arp_table(table.get());
}

void cleanup_arp_cache(ArpEntry *list) {
	while (list != nullptr) {
		ArpEntry *next = list->next;
		free(list);
		list = next;
	}
}

char *resolve_mac(ArpEntry *list, const char *device, const char *ip, int probe) {
	if (device == nullptr || ip == nullptr)
		return nullptr;
	bool may_probe = probe != 0;
	for (ArpEntry *entry = list; entry != nullptr; entry = entry->next) {
		// An entry without a hardware address (an incomplete kernel entry)
		// is kept in the list but answers no lookup: the pair is probed
		// like one the list lacks.
		if (strcmp(entry->ip, ip) == 0 && strcmp(entry->device, device) == 0 &&
		    !no_hardware_address(entry->mac)) {
			char *mac = static_cast<char *>(malloc(kEntryText));
			if (mac == nullptr)
				return nullptr;
			memcpy(mac, entry->mac, kEntryText);
			mac[kEntryText - 1] = '\0';
			return mac;
		}
		// Only once the whole list has been walked without a match; the
		// probe's result is then compared like any other entry.
		if (entry->next == nullptr && may_probe) {
			entry->next = test_arping(device, ip);
			may_probe = false;
		}
	}
	return nullptr;
}

ArpEntry *test_arping(const char *device, const char *ip) {
	return arp_probe(device, ip, kArpProbeTimeoutMs);
}

int get_if_info(const char *device, uint32_t *ip, uint8_t *mac, int *ifindex) {
	vfnc();
	Fd fd(packet_socket());
	if (!fd) {
		perror("socket()");
		return -1;
	}
	vfnc();
	size_t length = strnlen(device, kIfNameMax + 1);
	if (length > kIfNameMax) {
		printf("Too long interface name, MAX=%i\n", static_cast<int>(kIfNameMax));
		putchar('\n');
		return -1;
	}
	ifreq request;
	memset(&request, 0, sizeof request);
	memcpy(request.ifr_name, device, length + 1);
	if (ioctl(fd.get(), SIOCGIFINDEX, &request) < 0) {
		perror("SIOCGIFINDEX");
		return -1;
	}
	int index = request.ifr_ifindex;
	if (ioctl(fd.get(), SIOCGIFHWADDR, &request) < 0) {
		perror("SIOCGIFHWADDR");
		return -1;
	}
	uint8_t hwaddr[kMacLength];
	memcpy(hwaddr, request.ifr_hwaddr.sa_data, kMacLength);
	uint32_t address = 0;
	if (get_if_ip4(fd.get(), device, &address) != 0)
		return -1;
	vfnc();
	fd.reset();
	vfnc();
	*ip = address;
	memcpy(mac, hwaddr, kMacLength);
	*ifindex = index;
	return 0;
}

int get_if_ip4(int fd, const char *device, uint32_t *ip) {
	ifreq request;
	memset(&request, 0, sizeof request);
	size_t length = strnlen(device, kIfNameMax + 1);
	if (length > kIfNameMax) {
		printf("Too long interface name\n");
		return -1;
	}
	memcpy(request.ifr_name, device, length + 1);
	if (ioctl(fd, SIOCGIFADDR, &request) < 0) {
		perror("SIOCGIFADDR");
		return -1;
	}
	return int_ip4(&request.ifr_addr, ip) != 0 ? -1 : 0;
}

int int_ip4(const struct sockaddr *addr, uint32_t *ip) {
	if (addr == nullptr || addr->sa_family != AF_INET) {
		printf("Not AF_INET\n");
		return 1;
	}
	sockaddr_in in;
	memcpy(&in, addr, sizeof in);
	*ip = in.sin_addr.s_addr;
	return 0;
}

int format_ip4(const struct sockaddr *addr, char *out) {
	if (addr == nullptr || addr->sa_family != AF_INET)
		return -1;
	sockaddr_in in;
	memcpy(&in, addr, sizeof in);
	return inet_ntop(AF_INET, &in.sin_addr, out, INET_ADDRSTRLEN) != nullptr ? 0 : -2;
}

int bind_arp(int ifindex, int *fd_out) {
	vfnc();
	Fd fd(packet_socket());
	if (!fd) {
		perror("socket()");
		return -1;
	}
	// Protocol 0: the socket keeps ETH_P_ARP, the protocol it was opened
	// with; binding only narrows it to the one interface.
	sockaddr_ll local;
	memset(&local, 0, sizeof local);
	local.sll_family = AF_PACKET;
	local.sll_ifindex = ifindex;
	if (bind(fd.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
		perror("bind");
		return -1;
	}
	vfnc();
	*fd_out = fd.release();
	return 0;
}

int send_arp(int fd, int ifindex, const uint8_t *src_mac, uint32_t src_ip, uint32_t dst_ip) {
	uint8_t frame[kArpFrameBuffer];
	build_arp_request(frame, src_mac, src_ip, dst_ip);
	sockaddr_ll to;
	arp_request_address(&to, ifindex, src_mac);
	vfnc();
	ssize_t sent = sendto(fd, frame, kArpFrameLength, 0, reinterpret_cast<sockaddr *>(&to),
	                      sizeof to);
	vfnc();
	if (sent == -1) {
		perror("sendto():");
		return -1;
	}
	return 0;
}

int read_arp(int fd, ArpEntry *entry) {
	uint8_t frame[kArpFrameBuffer];
	vfnc();
	ssize_t received = recvfrom(fd, frame, sizeof frame, 0, nullptr, nullptr);
	vfnc();
	if (received < 0) {
		perror("recvfrom()");
		return -1;
	}
	return arp_reply_from_frame(frame, static_cast<size_t>(received), entry);
}

void vfnc(void) {}

} // extern "C"
