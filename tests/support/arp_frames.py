#!/usr/bin/env python3
"""Sends Ethernet frames carrying ARP from a raw packet socket, for the
tests of the ARP probe (run it in the peer's namespace with
"ip netns exec PEER").

    arp_frames.py DEVICE KIND COUNT INTERVAL_MS [SENDER_IP [SENDER_MAC]]

KIND:
    request  another host's broadcast ARP request (operation 1)
    reply    an unsolicited broadcast ARP reply (operation 2) from
             SENDER_IP/SENDER_MAC
    short    the first 22 bytes of a reply: EtherType 0x0806 and
             operation 2, but no addresses
COUNT frames are sent, one every INTERVAL_MS milliseconds; then it exits.
"""
import socket
import struct
import sys
import time


def ip_bytes(text):
    return socket.inet_aton(text)


def mac_bytes(text):
    return bytes(int(part, 16) for part in text.split(":"))


def frame(kind, sender_ip, sender_mac):
    operation = 1 if kind == "request" else 2
    eth = b"\xff" * 6 + sender_mac + struct.pack("!H", 0x0806)
    arp = struct.pack("!HHBBH", 1, 0x0800, 6, 4, operation)
    arp += sender_mac + ip_bytes(sender_ip) + b"\x00" * 6 + ip_bytes("192.0.2.77")
    whole = eth + arp
    return whole[:22] if kind == "short" else whole


def main():
    device, kind, count, interval = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    sender_ip = sys.argv[5] if len(sys.argv) > 5 else "192.0.2.99"
    sender_mac = mac_bytes(sys.argv[6] if len(sys.argv) > 6 else "02:00:00:00:00:99")
    if kind not in ("request", "reply", "short"):
        sys.exit("unknown kind " + kind)
    data = frame(kind, sender_ip, sender_mac)
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as s:
        s.bind((device, 0))
        for _ in range(count):
            s.send(data)
            time.sleep(interval / 1000.0)


if __name__ == "__main__":
    main()
