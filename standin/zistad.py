#!/usr/bin/env python3
"""Stand-in for the zistad roaming daemon's local socket.

    zistad.py [--socket PATH] [--mode MODE] [--answer FILE] [--log FILE]
              [--ready FILE]

Listens on a UNIX stream socket (default /var/run/zistad.sock). For every
connection it reads the request until the client shuts down its writing
side, then answers and closes. The request "get_clients" is answered with
a JSON object holding "clients" (how many clients) and "clientlist" (the
clients by MAC address): the content of --answer FILE when given, else a
small built-in list. Any other request is answered with
{"error":"unknown request"}.

MODE shapes the answer to "get_clients":
    clients          the answer as it stands (default)
    no-clientlist    the answer without "clientlist"
    no-clients       the answer without "clients"
    notjson          a text that is not JSON
    close            read the request, close without answering
    shut-read        stop reading at once (the client's writing fails with
                     EPIPE), close after 2 seconds
    silent           accept, then neither read nor answer: hold the
                     connection open for 60 seconds
    big:N            the answer padded to at least N bytes
    objects:N        [{},{},...]: empty objects as many as fit in N bytes
                     (at least 2), blanks before "]" for the rest
    trickle:S        answer one byte every S seconds (an answer that never
                     ends), for at most 60 seconds
    flood            answer without end: 64 KiB pieces of a JSON array, at
                     most 64 MiB; logs {"sent": BYTES} when it stops

A client that has not ended its request within 10 seconds gets no answer.
Every connection appends one JSON line to the --log file: the request as
text ("request", decoded as Latin-1) and whether it ended ("complete").
--ready FILE is created once the socket accepts connections.
"""
import argparse
import json
import os
import signal
import socket
import socketserver
import stat
import sys
import threading
import time

DEFAULT_ANSWER = {
    "clients": 2,
    "clientlist": {
        "02:5a:31:00:10:01": {"ip4": "10.31.16.23", "ifname": "wlan0-ap", "connected": 1840},
        "02:5a:31:00:10:02": {"ip4": "10.31.16.41", "ifname": "wlan1-ap", "connected": 95},
    },
}

REQUEST_TIMEOUT = 10.0
SILENT_HOLD = 60.0
FLOOD_LIMIT = 64 << 20


def compact(value):
    return json.dumps(value, separators=(",", ":")).encode()


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        server = self.server
        if server.mode == "silent":
            server.log(b"", complete=False)
            time.sleep(SILENT_HOLD)
            return
        if server.mode == "shut-read":
            self.request.shutdown(socket.SHUT_RD)
            server.log(b"", complete=False)
            time.sleep(2)
            return
        request, complete = self.read_request()
        server.log(request, complete)
        if not complete:
            return
        if server.mode.startswith("trickle:"):
            self.trickle(float(server.mode[8:]))
            return
        if server.mode == "flood":
            server.log_line({"sent": self.flood()})
            return
        answer = server.answer_for(request)
        if answer is not None:
            try:
                self.request.sendall(answer)
            except OSError:
                pass

    def trickle(self, interval):
        deadline = time.monotonic() + SILENT_HOLD
        piece = b"["
        try:
            while time.monotonic() < deadline:
                self.request.sendall(piece)
                piece = b" "
                time.sleep(interval)
        except OSError:
            pass

    def flood(self):
        """Sends until the client stops reading or FLOOD_LIMIT is reached;
        the number of bytes the client took."""
        piece = b"0," * 32768
        sent = 0
        try:
            self.request.sendall(b"[")
            sent = 1
            while sent < FLOOD_LIMIT:
                sent += self.request.send(piece)
        except OSError:
            pass
        return sent

    def read_request(self):
        """The bytes up to the client's end of writing, and whether that
        end came within the time allowed."""
        self.request.settimeout(REQUEST_TIMEOUT)
        parts = []
        try:
            while True:
                piece = self.request.recv(65536)
                if not piece:
                    return b"".join(parts), True
                parts.append(piece)
        except OSError:
            return b"".join(parts), False


class Server(socketserver.ThreadingMixIn, socketserver.UnixStreamServer):
    daemon_threads = True

    def __init__(self, path, mode, answer, log_path):
        self.mode = mode
        self.answer = answer
        self.log_path = log_path
        self.lock = threading.Lock()
        super().__init__(path, Handler)

    def answer_for(self, request):
        if request != b"get_clients":
            return compact({"error": "unknown request"})
        answer = dict(self.answer)
        mode = self.mode
        if mode == "clients":
            return compact(answer)
        if mode == "no-clientlist":
            answer.pop("clientlist", None)
            return compact(answer)
        if mode == "no-clients":
            answer.pop("clients", None)
            return compact(answer)
        if mode == "notjson":
            return b"clients: %d" % len(answer.get("clientlist", {}))
        if mode == "close":
            return None
        if mode.startswith("objects:"):
            room = int(mode[8:]) - 2
            objects = (b"{}," * max(0, (room + 1) // 3))[:-1]
            return b"[" + objects + b" " * (room - len(objects)) + b"]"
        if mode.startswith("big:"):
            size = int(mode[4:])
            answer["padding"] = ""
            short = len(compact(answer))
            answer["padding"] = "p" * max(0, size - short)
            return compact(answer)
        raise ValueError(f"unknown mode {mode}")

    def log(self, request, complete):
        self.log_line({"request": request.decode("latin-1"), "complete": complete})

    def log_line(self, entry):
        if not self.log_path:
            return
        with self.lock, open(self.log_path, "a") as f:
            f.write(json.dumps(entry) + "\n")


def remove_socket(path):
    try:
        if stat.S_ISSOCK(os.lstat(path).st_mode):
            os.unlink(path)
    except FileNotFoundError:
        pass


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--socket", default="/var/run/zistad.sock")
    ap.add_argument("--mode", default="clients")
    ap.add_argument("--answer", help="JSON file: the answer to get_clients")
    ap.add_argument("--log")
    ap.add_argument("--ready", help="file to create once listening")
    args = ap.parse_args()

    answer = DEFAULT_ANSWER
    if args.answer:
        with open(args.answer) as f:
            answer = json.load(f)
    if args.mode not in ("clients", "no-clientlist", "no-clients", "notjson", "close",
                         "shut-read", "silent", "flood") and \
            not args.mode.startswith(("big:", "objects:", "trickle:")):
        ap.error(f"unknown mode {args.mode}")

    remove_socket(args.socket)
    server = Server(args.socket, args.mode, answer, args.log)

    def stop(_signum, _frame):
        remove_socket(args.socket)
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if args.ready:
        with open(args.ready, "w") as f:
            f.write(str(os.getpid()))
    server.serve_forever()


if __name__ == "__main__":
    main()
