// arp_reply_from_frame on arbitrary frames of any length, checked against
// a plain reading of the reply layout: only a frame of at least 42 bytes
// that is an Ethernet/IPv4 ARP reply (EtherType 0x0806, hardware type 1,
// protocol 0x0800, lengths 6 and 4, operation 2) from a unicast, non-zero
// MAC, and, when our address is given, for our address, fills the entry
// with its sender's addresses as NUL-terminated texts; anything else
// leaves the entry, and always its device and link, untouched. Our
// address is the target address of the frame itself or another one, as
// the input's first byte says.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <optional>

#include "arp.h"

namespace {

bool terminated(const char *field, size_t size) { return memchr(field, '\0', size) != nullptr; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
	// A block of exactly the received size, so that reading past the frame
	// is caught.
	std::unique_ptr<uint8_t[]> frame(new uint8_t[size ? size : 1]);
	if (size > 0)
		memcpy(frame.get(), data, size);

	// An entry whose fields hold no NUL at all: a fill that forgot its
	// terminator would be seen.
	static ArpEntry before;
	memset(&before, 0x5A, sizeof before);
	before.next = reinterpret_cast<ArpEntry *>(&before);
	static ArpEntry entry;
	memcpy(&entry, &before, sizeof entry);

	bool whole = size >= tarvik::kArpFrameLength;
	// None, the frame's own target, or another address.
	int ours = whole ? data[0] % 3 : 0;
	std::optional<uint32_t> our_ip;
	if (ours > 0) {
		uint32_t ip;
		memcpy(&ip, data + 38, 4);
		our_ip = ours == 1 ? ip : ~ip;
	}
	int rc = tarvik::arp_reply_from_frame(frame.get(), size, our_ip, &entry);
	static const uint8_t zero[6] = {};
	bool reply = whole && data[12] == 0x08 && data[13] == 0x06 && data[14] == 0x00 &&
	             data[15] == 0x01 && data[16] == 0x08 && data[17] == 0x00 && data[18] == 6 &&
	             data[19] == 4 && data[20] == 0x00 && data[21] == 0x02 &&
	             (data[22] & 1) == 0 && memcmp(data + 22, zero, 6) != 0 && ours != 2;
	if (rc != (reply ? 0 : -1))
		abort();
	if (!reply) {
		if (memcmp(&entry, &before, sizeof entry) != 0)
			abort();
		return 0;
	}
	if (!terminated(entry.ip, sizeof entry.ip) || !terminated(entry.mac, sizeof entry.mac))
		abort();
	char mac[18], ip[16];
	snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", data[22], data[23], data[24],
	         data[25], data[26], data[27]);
	snprintf(ip, sizeof ip, "%u.%u.%u.%u", data[28], data[29], data[30], data[31]);
	if (strcmp(entry.mac, mac) != 0 || strcmp(entry.ip, ip) != 0)
		abort();
	if (memcmp(entry.device, before.device, sizeof entry.device) != 0 || entry.next != before.next)
		abort();
	return 0;
}
