#!/usr/bin/env python3
"""A socket peer that tests run as another local user.

  socketpeer.py listen PATH     listen at PATH (open to all); print "listening",
                                then "accepted", "bytes HEX" and "closed" as
                                clients come and go; end when stdin closes
  socketpeer.py connect PATH [HEX] [WAIT]
                                connect; print "connected" or "refused ERRNO";
                                send HEX, read for WAIT seconds (default 1.5),
                                print "received HEX"
"""

import errno
import os
import selectors
import socket
import sys
import time


def say(text):
    print(text, flush=True)


def listen(path):
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        server.bind(path)
        os.chmod(path, 0o777)
        server.listen(8)
    except OSError as error:
        say("refused " + errno.errorcode.get(error.errno, str(error.errno)))
        return
    say("listening")
    selector = selectors.DefaultSelector()
    selector.register(server, selectors.EVENT_READ)
    selector.register(sys.stdin, selectors.EVENT_READ)
    while True:
        for key, _ in selector.select():
            if key.fileobj is sys.stdin:
                if not sys.stdin.readline():
                    os.unlink(path)
                    return
            elif key.fileobj is server:
                client, _ = server.accept()
                say("accepted")
                selector.register(client, selectors.EVENT_READ)
            else:
                data = key.fileobj.recv(4096)
                if data:
                    say("bytes " + data.hex())
                else:
                    say("closed")
                    selector.unregister(key.fileobj)
                    key.fileobj.close()


def connect(path, frame, wait):
    client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        client.connect(path)
    except OSError as error:
        say("refused " + errno.errorcode.get(error.errno, str(error.errno)))
        return
    say("connected")
    if frame:
        client.sendall(bytes.fromhex(frame))
    received = b""
    client.settimeout(0.1)
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        try:
            data = client.recv(4096)
        except socket.timeout:
            continue
        if not data:
            break
        received += data
    say("received " + received.hex())


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "listen":
        listen(sys.argv[2])
    elif len(sys.argv) >= 3 and sys.argv[1] == "connect":
        frame = sys.argv[3] if len(sys.argv) > 3 else ""
        wait = float(sys.argv[4]) if len(sys.argv) > 4 else 1.5
        connect(sys.argv[2], frame, wait)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
