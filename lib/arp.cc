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
constexpr size_t kMacLength = kArpMacLength;
constexpr size_t kEntryText = sizeof(ArpEntry{}.ip);

static_assert(sizeof(sockaddr_ll) == 20, "the link-layer address is 20 bytes");
static_assert(kIfNameMax == 15, "interface names are at most 15 characters");
static_assert(kArpEtherType == ETH_P_ARP && kArpHardwareEthernet == ARPHRD_ETHER &&
                  kArpProtocolIpv4 == ETH_P_IP,
              "the frame rule's values are the kernel's");

void put16(uint8_t *at, uint16_t value) {
	at[0] = static_cast<uint8_t>(value >> 8);
	at[1] = static_cast<uint8_t>(value);
}

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

void build_arp_request(uint8_t *frame, const uint8_t *src_mac, uint32_t src_ip, uint32_t dst_ip) {
	using namespace arp_at;
	memset(frame, 0, kArpFrameBuffer);
	memset(frame + kEthDest, 0xff, kMacLength);
	memcpy(frame + kEthSource, src_mac, kMacLength);
	put16(frame + kEthType, kArpEtherType);
	put16(frame + kHardwareType, kArpHardwareEthernet);
	put16(frame + kProtocolType, kArpProtocolIpv4);
	frame[kHardwareLength] = kArpMacLength;
	frame[kProtocolLength] = kArpIpv4Length;
	put16(frame + kOperation, kArpOpRequest);
	memcpy(frame + kSenderMac, src_mac, kMacLength);
	memcpy(frame + kSenderIp, &src_ip, 4); // already in network order
	// The target hardware address stays zero.
	static_assert(kTargetMac + kMacLength == kTargetIp);
	memcpy(frame + kTargetIp, &dst_ip, 4);
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
	const ArpTarget target = {device, ip};
	return arp_probe_targets(&target, 1, timeout_ms, nullptr);
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
	// Which address the reply must be for is the probing interface's,
	// which a descriptor alone does not say: everything else is checked.
	return arp_reply_from_frame(frame, static_cast<size_t>(received), std::nullopt, entry);
}

void vfnc(void) {}

} // extern "C"
