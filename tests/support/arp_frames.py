#!/usr/bin/env python3
"""Sends Ethernet frames carrying ARP from a raw packet socket, for the
tests of the ARP probe (run it in the peer's namespace with
"ip netns exec PEER").

    arp_frames.py [--ready-fd FD] DEVICE KIND COUNT INTERVAL_MS [SENDER_IP [SENDER_MAC]]

KIND:
    request  another host's broadcast ARP request (operation 1)
    reply    an unsolicited broadcast ARP reply (operation 2) from
             SENDER_IP/SENDER_MAC
    short    the first 22 bytes of a reply: EtherType 0x0806 and
             operation 2, but no addresses
    answer   answers the first ARP request that arrives on DEVICE (within
             10 s) in place of its kernel, which the test has told not to
             answer: first with the foreign replies, then with the true
             reply (sender: the requested address and DEVICE's own MAC).
             Before it waits, it sends one request, so that the other end
             can tell that it is ready.
COUNT frames are sent, one every INTERVAL_MS milliseconds (for "answer":
COUNT foreign replies before the true one); then it exits.

With --ready-fd, "ready" and a newline are written to the inherited
descriptor FD as soon as the first frame is out, and FD is closed: the
caller waits for that instead of guessing how long a start takes on a
loaded machine.
"""
import os
import socket
import struct
import sys
import time

ETH_P_ARP = 0x0806
PACKET_OUTGOING = 4


def ip_bytes(text):
    return socket.inet_aton(text)


def mac_bytes(text):
    return bytes(int(part, 16) for part in text.split(":"))


def frame(kind, sender_ip, sender_mac):
    operation = 1 if kind == "request" else 2
    eth = b"\xff" * 6 + sender_mac + struct.pack("!H", ETH_P_ARP)
    arp = struct.pack("!HHBBH", 1, 0x0800, 6, 4, operation)
    arp += sender_mac + ip_bytes(sender_ip) + b"\x00" * 6 + ip_bytes("192.0.2.77")
    whole = eth + arp
    return whole[:22] if kind == "short" else whole


def reply_to(request, sender_ip_raw, sender_mac):
    """An ARP reply to `request` (a received request frame) from
    `sender_ip_raw`/`sender_mac`, sent to the requester."""
    requester_mac, requester_ip = request[22:28], request[28:32]
    eth = requester_mac + sender_mac + struct.pack("!H", ETH_P_ARP)
    arp = struct.pack("!HHBBH", 1, 0x0800, 6, 4, 2)
    return eth + arp + sender_mac + sender_ip_raw + requester_mac + requester_ip


def signal_ready(ready_fd):
    if ready_fd is not None:
        os.write(ready_fd, b"ready\n")
        os.close(ready_fd)


def answer(s, count, interval, sender_ip, sender_mac, ready_fd):
    own_mac = s.getsockname()[4]
    s.send(frame("request", sender_ip, sender_mac))
    signal_ready(ready_fd)
    s.settimeout(10.0)
    while True:
        data, (_, _, pkttype, _, _) = s.recvfrom(128)
        if pkttype == PACKET_OUTGOING or len(data) < 42:
            continue
        if struct.unpack("!H", data[12:14])[0] == ETH_P_ARP and data[20:22] == b"\x00\x01":
            break
    for _ in range(count):
        s.send(reply_to(data, ip_bytes(sender_ip), sender_mac))
        time.sleep(interval / 1000.0)
    s.send(reply_to(data, data[38:42], own_mac))


def main():
    ready_fd = None
    if sys.argv[1] == "--ready-fd":
        ready_fd = int(sys.argv[2])
        del sys.argv[1:3]
    device, kind, count, interval = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    sender_ip = sys.argv[5] if len(sys.argv) > 5 else "192.0.2.99"
    sender_mac = mac_bytes(sys.argv[6] if len(sys.argv) > 6 else "02:00:00:00:00:99")
    if kind not in ("request", "reply", "short", "answer"):
        sys.exit("unknown kind " + kind)
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ARP)) as s:
        s.bind((device, ETH_P_ARP))
        if kind == "answer":
            answer(s, count, interval, sender_ip, sender_mac, ready_fd)
            return
        data = frame(kind, sender_ip, sender_mac)
        for i in range(count):
            s.send(data)
            if i == 0:
                signal_ready(ready_fd)
            time.sleep(interval / 1000.0)


if __name__ == "__main__":
    main()
