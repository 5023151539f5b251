#!/usr/bin/env python3
"""A stand-in for varvexservice and the web API, for screenshots and manual
runs of the client without a tunnel.

Listens on the local socket "Varvex" in $VARVEX_SOCKET_DIR (else /run/varvex,
where the client looks; the client talks only to a service of root or of its
own user, so run both as the same user with VARVEX_SOCKET_DIR set), greets every
client with the current status, logs the requests it receives (a credentials
request gets an empty answer: no provisioned login), and sends
whatever notification is asked for on standard input, one command a line:

  status N            set the status (0..255) and tell every client
  bandwidth on|off    send tunnel totals once a second (a wavy traffic curve)
  login-failed        send the login-failed notification
  quit

With --http-port it also answers the web API's /get_ip/ and /get_list/ on
127.0.0.1 with a fixed list of servers whose hosts are loopback addresses.
"""

import argparse
import json
import math
import os
import selectors
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

START, END = 0x01, 0x02
STATUS_UPDATE, BANDWIDTH_UPDATE, LOGIN_FAILED, CREDENTIALS_REPLY = 13, 14, 15, 10
REQUEST_NAMES = {1: "status", 3: "connect", 5: "abort", 7: "server list", 9: "credentials", 11: "update CA"}

SERVERS = {
    "Automatic": ("auto", "127.0.0.2"),
    "Canada": ("CA", "127.0.0.3"),
    "France": ("FR", "127.0.0.4"),
    "Germany": ("DE", "127.0.0.5"),
    "Japan": ("JP", "127.0.0.6"),
    "Netherlands": ("NL", "127.0.0.7"),
    "Sweden": ("SE", "127.0.0.8"),
    "Switzerland": ("CH", "127.0.0.9"),
    "United Kingdom": ("GB", "127.0.0.10"),
    "United States": ("US", "127.0.0.11"),
}

state = {"status": 3, "connected_at": 0, "credentials": b""}


def frame(code, payload=b""):
    return bytes([START, len(payload) + 4, code]) + payload + bytes([END])


def status_frame():
    status = state["status"]
    payload = bytes([status & 0xFF])
    if status == 1:
        address = b"10.8.0.6"
        payload += bytes([len(address)]) + address + state["connected_at"].to_bytes(4, "little")
    return frame(STATUS_UPDATE, payload)


def log(text):
    print(text, file=sys.stderr, flush=True)


class Service:
    def __init__(self, path):
        self.clients = {}
        self.selector = selectors.DefaultSelector()
        if os.path.exists(path):
            os.unlink(path)
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(path)
        self.server.listen(8)
        self.server.setblocking(False)
        self.path = path
        self.selector.register(self.server, selectors.EVENT_READ, "accept")
        self.selector.register(sys.stdin, selectors.EVENT_READ, "command")
        self.bandwidth = False
        self.totals = [0, 0]
        self.tick = 0

    def broadcast(self, data):
        for client in list(self.clients):
            try:
                client.sendall(data)
            except OSError:
                self.drop(client)

    def drop(self, client):
        self.selector.unregister(client)
        self.clients.pop(client, None)
        client.close()

    def accept(self):
        client, _ = self.server.accept()
        self.clients[client] = b""
        self.selector.register(client, selectors.EVENT_READ, "client")
        client.sendall(status_frame())
        log("client connected")

    def read(self, client):
        data = client.recv(4096)
        if not data:
            self.drop(client)
            log("client gone")
            return
        buffer = self.clients[client] + data
        while len(buffer) >= 4 and buffer[1] <= len(buffer):
            size = max(buffer[1], 4)
            request, buffer = buffer[:size], buffer[size:]
            code = request[2]
            log("request: " + REQUEST_NAMES.get(code, str(code)))
            if code == 9:
                text = state["credentials"]
                client.sendall(frame(CREDENTIALS_REPLY, bytes([len(text)]) + text))
        self.clients[client] = buffer

    def command(self, line):
        words = line.split()
        if not words:
            return True
        if words[0] == "quit":
            return False
        if words[0] == "status" and len(words) == 2:
            state["status"] = int(words[1]) & 0xFF
            if state["status"] == 1:
                state["connected_at"] = int(time.time()) - 3 * 3600 - 25 * 60 - 7
            self.broadcast(status_frame())
        elif words[0] == "bandwidth" and len(words) == 2:
            self.bandwidth = words[1] == "on"
        elif words[0] == "login-failed":
            self.broadcast(frame(LOGIN_FAILED))
        else:
            log("unknown command: " + line.strip())
        return True

    def send_bandwidth(self):
        self.tick += 1
        down = int(180000 + 140000 * math.sin(self.tick / 3.0) + 60000 * math.sin(self.tick * 1.7))
        up = int(40000 + 25000 * math.cos(self.tick / 2.0))
        self.totals[0] = (self.totals[0] + max(down, 0)) & 0xFFFFFFFF
        self.totals[1] = (self.totals[1] + max(up, 0)) & 0xFFFFFFFF
        payload = bytes([1]) + self.totals[0].to_bytes(4, "little") + self.totals[1].to_bytes(4, "little")
        self.broadcast(frame(BANDWIDTH_UPDATE, payload))

    def run(self):
        next_sample = time.monotonic() + 1.0
        while True:
            timeout = max(0.0, next_sample - time.monotonic())
            for key, _ in self.selector.select(timeout):
                if key.data == "accept":
                    self.accept()
                elif key.data == "client":
                    self.read(key.fileobj)
                else:
                    line = sys.stdin.readline()
                    if not line or not self.command(line):
                        return
            if time.monotonic() >= next_sample:
                next_sample += 1.0
                if self.bandwidth and self.clients:
                    self.send_bandwidth()

    def close(self):
        for client in list(self.clients):
            client.close()
        self.server.close()
        if os.path.exists(self.path):
            os.unlink(self.path)


class WebApi(BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path.startswith("/get_ip/"):
            ip = "198.51.100.23" if state["status"] == 1 else "203.0.113.7"
            body = json.dumps({"ip": ip})
        elif self.path.startswith("/get_list/"):
            body = json.dumps({name: {"code": code, "host": host} for name, (code, host) in SERVERS.items()})
        else:
            self.send_error(404)
            return
        data = body.encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, format, *args):
        log("http: " + (format % args))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--http-port", type=int, default=0, help="also serve the web API on this port")
    parser.add_argument("--status", type=int, default=3, help="status at start (default 3)")
    args = parser.parse_args()

    state["status"] = args.status & 0xFF
    if args.http_port:
        http = ThreadingHTTPServer(("127.0.0.1", args.http_port), WebApi)
        threading.Thread(target=http.serve_forever, daemon=True).start()

    service = Service(os.path.join(os.environ.get("VARVEX_SOCKET_DIR") or "/run/varvex", "Varvex"))
    try:
        service.run()
    finally:
        service.close()


if __name__ == "__main__":
    main()
