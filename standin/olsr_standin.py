#!/usr/bin/env python3
"""Stand-in for the HTTP interfaces of the routing daemons.

    olsr_standin.py --port 9090 --answers olsrd.json [--telnet] [--log FILE]

Serves one daemon on 127.0.0.1:PORT. A request path is percent-decoded;
with --telnet (olsrd2) the leading "/telnet/" is taken off, so both
"/telnet%2Fnhdpinfo%20jsonraw%20link" and "/telnet/nhdpinfo jsonraw link"
name the command "nhdpinfo jsonraw link"; without it (olsrd) the command
is the path after its first "/".

The answers file maps commands to answers. An answer is either a JSON
value, served as compact JSON with status 200 and a Content-Length, or an
object with "$"-keys that shapes the response by hand:
    {"$status": 404}                  that status (body "error")
    {"$raw": "text"}                  this body text, as it stands
    {"$headers": [["K", "V"], ...]}   extra response headers
    {"$no_length": true}              no Content-Length; closes after body
    {"$chunked": true}                chunked transfer encoding
    {"$length": "TEXT"}               Content-Length header TEXT as given
                                      (a lie of any kind) instead of the
                                      body's length; closes after the body
    {"$hang": SECONDS}                read the request, answer nothing,
                                      close after SECONDS
An answer under the command "*" serves every command that has none of
its own.
Commands that begin with "fault/" need no answer: they provoke the faults
that a client must survive (see FAULTS below). The answers file is read
again for every request, so a test can change answers while it runs.

Every request is appended to the log file as one JSON line: the raw
request target, the method and the headers in the order received.
"""
import argparse
import json
import os
import socket
import socketserver
import sys
import threading
import time
import urllib.parse

FAULTS = """
fault/status/CODE            answer with status CODE
fault/redirect/N[/abs|/rel]  redirect N times (302), then a JSON object;
                             Location absolute URL, absolute path (default)
                             or relative path
fault/redirect-status/CODE   one redirect with status CODE, then JSON
fault/redirect-loop          301 to itself, forever
fault/redirect-to/LOCATION   302 with the rest of the path as Location
fault/slow-redirect/MS/LOC   the same, sent after MS milliseconds
fault/short                  Content-Length 100, 10 bytes, close
fault/length/CL/N            Content-Length header CL (as given), N bytes
fault/lengths/CL,CL.../N     one Content-Length header for each CL, N bytes
fault/chunked/N              chunked body of N bytes (JSON object text)
fault/chunked-cut            chunked body that stops mid-chunk and closes
fault/close-delimited/N      no Content-Length, N bytes, close
fault/notjson                200 with the body "hello"
fault/empty                  200 with an empty body
fault/blank-json             200 with " {}" (a blank before the object)
fault/badjson                200 with "{not json"
fault/array                  200 with "[1,2,3]"
fault/hang                   accept the request, never answer
fault/big/N                  200 with a body of N bytes
fault/objects/N              200 with a body of N bytes (at least 12):
                             {"links":[{},{},...]}, empty objects as many
                             as fit, blanks before "]}" for the rest
fault/slow/N/MS              N bytes, one every MS milliseconds
fault/raw/TEXT               TEXT (the rest of the path, unescaped) as the
                             whole answer, then close
fault/endless/KIND           an answer that never ends, sent as fast as the
                             client takes it, until it closes: KIND is
                             lengths (Content-Length lines), headers (other
                             header lines), close (a close-delimited body),
                             chunks (a chunked body) or 4g (Content-Length
                             4294967296, then a body)
"""


def json_body(size):
    """A JSON object text of exactly `size` bytes; below 10 bytes, a
    text of that size that opens like one."""
    if size < 10:
        return (b"{" + b"x" * size)[:size]
    head = '{"pad":"'
    tail = '"}'
    return (head + "x" * (size - len(head) - len(tail)) + tail).encode()


def empty_objects(size, head=b'{"links":[', tail=b"]}"):
    """`head` + "{},{},...,{}" + blanks + `tail`, of exactly `size` bytes
    (at least `head` and `tail`): as many empty objects as fit."""
    room = size - len(head) - len(tail)
    count = max(0, (room + 1) // 3)
    objects = (b"{}," * count)[:-1]
    return head + objects + b" " * (room - len(objects)) + tail


class Handler(socketserver.BaseRequestHandler):
    def setup(self):
        self.request.settimeout(None)
        self.rfile = self.request.makefile("rb")

    def handle(self):
        # A client may close with an answer unread (it has what it needs,
        # or refuses it); the connection just ends then.
        try:
            self.serve()
        except (ConnectionResetError, BrokenPipeError):
            pass

    def serve(self):
        while True:
            line = self.rfile.readline(65537)
            if not line:
                return
            try:
                method, target, _version = line.decode("latin-1").split(" ", 2)
            except ValueError:
                return
            headers = []
            while True:
                h = self.rfile.readline(65537)
                if not h or h in (b"\r\n", b"\n"):
                    break
                name, _, value = h.decode("latin-1").partition(":")
                headers.append([name.strip(), value.strip()])
            self.server.log_request(method, target, headers)
            if not self.respond(target):
                return

    # -- responses ---------------------------------------------------
    def send(self, status, body=b"", headers=(), length=True, close=False):
        reason = {200: "OK", 301: "Moved Permanently", 302: "Found",
                  303: "See Other", 307: "Temporary Redirect",
                  404: "Not Found"}.get(status, "Status")
        out = [f"HTTP/1.1 {status} {reason}"]
        out += [f"{k}: {v}" for k, v in headers]
        if length:
            out.append(f"Content-Length: {len(body)}")
        if close:
            out.append("Connection: close")
        self.request.sendall(("\r\n".join(out) + "\r\n\r\n").encode() + body)
        return not close

    def send_chunked(self, body, cut=False):
        head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
        self.request.sendall(head.encode())
        for i in range(0, len(body), 1000):
            piece = body[i:i + 1000]
            self.request.sendall(b"%x\r\n" % len(piece) + piece + b"\r\n")
            if cut:
                self.request.sendall(b"%x\r\n" % 500 + b"x" * 20)
                return False
        self.request.sendall(b"0\r\n\r\n")
        return True

    def respond(self, target):
        path = urllib.parse.unquote(target.split("?", 1)[0])
        command = path[1:] if path.startswith("/") else path
        if self.server.telnet:
            if command.startswith("telnet/"):
                command = command[len("telnet/"):]
            else:
                return self.send(404, b"no such path")
        if command.startswith("fault/"):
            return self.fault(command[len("fault/"):].split("/"))
        answers = self.server.load_answers()
        if command not in answers:
            command = "*"
        if command not in answers:
            return self.send(404, b"unknown command")
        return self.answer(answers[command])

    def answer(self, given):
        if isinstance(given, dict) and any(k.startswith("$") for k in given):
            status = given.get("$status", 200)
            if "$raw" in given:
                body = given["$raw"].encode()
            elif "$json" in given:
                body = json.dumps(given["$json"], separators=(",", ":")).encode()
            else:
                body = b"error" if status != 200 else b"{}"
            headers = [tuple(h) for h in given.get("$headers", [])]
            if "$hang" in given:
                time.sleep(float(given["$hang"]))
                return False
            if "$length" in given:
                self.send(status, body, headers + [("Content-Length", given["$length"])],
                          length=False)
                return False
            if given.get("$chunked"):
                return self.send_chunked(body)
            if given.get("$no_length"):
                return self.send(status, body, headers, length=False, close=True)
            return self.send(status, body, headers)
        body = json.dumps(given, separators=(",", ":")).encode()
        return self.send(200, body, [("Content-Type", "application/json")])

    def fault(self, parts):
        kind, args = parts[0], parts[1:]
        port = self.server.server_address[1]
        if kind == "status":
            return self.send(int(args[0]), b"error")
        if kind == "redirect":
            n = int(args[0])
            style = args[1] if len(args) > 1 else "path"
            if n <= 0:
                return self.send(200, b'{"redirected":true}')
            nxt = f"fault/redirect/{n - 1}/{style}"
            if style == "abs":
                loc = f"http://127.0.0.1:{port}/{self.prefix()}{nxt}"
            elif style == "rel":
                # A relative reference; the request target is one escaped
                # segment, so it resolves against "/".
                loc = urllib.parse.quote(f"{self.prefix()}{nxt}", safe="")
            else:
                loc = f"/{self.prefix()}{nxt}"
            return self.send(302, b"", [("Location", loc)])
        if kind == "redirect-status":
            return self.send(int(args[0]), b"",
                             [("Location", f"/{self.prefix()}fault/redirect/0")])
        if kind == "redirect-to":
            return self.send(302, b"", [("Location", "/".join(args))])
        if kind == "slow-redirect":
            time.sleep(int(args[0]) / 1000.0)
            return self.send(302, b"", [("Location", "/".join(args[1:]))])
        if kind == "redirect-loop":
            return self.send(301, b"", [("Location", f"/{self.prefix()}fault/redirect-loop")])
        if kind == "short":
            self.request.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + b"{" + b"x" * 9)
            return False
        if kind == "length":
            body = json_body(int(args[1]))
            self.request.sendall(f"HTTP/1.1 200 OK\r\nContent-Length: {args[0]}\r\n\r\n".encode() + body)
            return False
        if kind == "lengths":
            lines = "".join(f"Content-Length: {v}\r\n" for v in args[0].split(","))
            self.request.sendall(f"HTTP/1.1 200 OK\r\n{lines}\r\n".encode()
                                 + json_body(int(args[1])))
            return False
        if kind == "chunked":
            return self.send_chunked(json_body(int(args[0])))
        if kind == "chunked-cut":
            return self.send_chunked(json_body(3000), cut=True)
        if kind == "close-delimited":
            return self.send(200, json_body(int(args[0])), length=False, close=True)
        if kind == "notjson":
            return self.send(200, b"hello")
        if kind == "empty":
            return self.send(200, b"")
        if kind == "blank-json":
            return self.send(200, b" {}")
        if kind == "badjson":
            return self.send(200, b"{not json")
        if kind == "array":
            return self.send(200, b"[1,2,3]")
        if kind == "hang":
            while self.request.recv(4096):
                pass
            return False
        if kind == "big":
            return self.send_big(int(args[0]))
        if kind == "objects":
            return self.send(200, empty_objects(int(args[0])))
        if kind == "slow":
            n, ms = int(args[0]), int(args[1])
            self.request.sendall(f"HTTP/1.1 200 OK\r\nContent-Length: {n}\r\n\r\n".encode())
            body = json_body(n)
            for i in range(n):
                time.sleep(ms / 1000.0)
                self.request.sendall(body[i:i + 1])
            return True
        if kind == "endless":
            return self.send_endless(args[0])
        if kind == "raw":
            self.request.sendall("/".join(args).encode("latin-1"))
            return False
        return self.send(404, b"unknown fault")

    def send_endless(self, kind):
        heads = {"lengths": (b"", b"Content-Length: 12\r\n" * 4096),
                 "headers": (b"", b"X-Pad: " + b"x" * 1000 + b"\r\n"),
                 "close": (b"\r\n", b"x" * 65536),
                 "chunks": (b"Transfer-Encoding: chunked\r\n\r\n",
                            b"10000\r\n" + b"x" * 65536 + b"\r\n"),
                 "4g": (b"Content-Length: 4294967296\r\n\r\n", b"x" * 65536)}
        head, block = heads[kind]
        self.request.sendall(b"HTTP/1.1 200 OK\r\n" + head)
        # Until the client closes (a reset or broken pipe ends the handler).
        while True:
            self.request.sendall(block)

    def send_big(self, n):
        self.request.sendall(f"HTTP/1.1 200 OK\r\nContent-Length: {n}\r\n\r\n".encode())
        block = b"x" * (1 << 20)
        sent = 0
        first = True
        while sent < n:
            piece = block[:min(len(block), n - sent)]
            if first:
                piece = b"{" + piece[1:]
                first = False
            self.request.sendall(piece)
            sent += len(piece)
        return True

    def prefix(self):
        return "telnet/" if self.server.telnet else ""


class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    allow_reuse_address = True
    daemon_threads = True

    def __init__(self, port, answers, telnet, log):
        self.answers_path = answers
        self.telnet = telnet
        self.log_path = log
        self.lock = threading.Lock()
        super().__init__(("127.0.0.1", port), Handler)

    def load_answers(self):
        if not self.answers_path:
            return {}
        with open(self.answers_path) as f:
            return json.load(f)

    def log_request(self, method, target, headers):
        if not self.log_path:
            return
        entry = json.dumps({"method": method, "target": target, "headers": headers})
        with self.lock, open(self.log_path, "a") as f:
            f.write(entry + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 epilog=FAULTS,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--answers")
    ap.add_argument("--telnet", action="store_true")
    ap.add_argument("--log")
    ap.add_argument("--ready", help="file to create once listening")
    args = ap.parse_args()
    server = Server(args.port, args.answers, args.telnet, args.log)
    if args.ready:
        with open(args.ready, "w") as f:
            f.write(str(os.getpid()))
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
