#!/usr/bin/env python3
"""Development stand-in for the Varvex web API.

Serves the five endpoints the programs use from a data folder, on 127.0.0.1
(or the address given with --address, e.g. inside a test's network namespace):

  /get_ip/KEY                 {"ip": caller's address, or --ip}
  /get_list/KEY               the server list (servers.json)
  /get_user/KEY/<token>       the user of an installer token (users.json)
  /get_ca_info/KEY            {"hash": SHA-1 of ca.crt, lowercase hex}
  /get_ca/KEY                 ca.crt itself

A wrong key gives 403, an unknown path or token 404. servers.json and
users.json are read at every request, so they may be edited while the server
runs; ca.crt is read once at start so its hash and body always agree.

It speaks HTTPS, as the real web API does. The certificate comes from
--tls-dir: server.crt and server.key there are used as they are; when they
are missing, a development authority (web-ca.crt, its key beside it) and a
server certificate for 127.0.0.1 and localhost are made there with openssl.
Point the programs' VARVEX_API_CA_FILE at web-ca.crt (printed at start).
--http serves plain HTTP instead (the programs then need
VARVEX_API_SCHEME=http).
"""

import argparse
import hashlib
import json
import os
import ssl
import subprocess
import sys
import tempfile
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote

API_KEY = "3b9e07c1d52a48f6e0b7c19d4a62f85e"
DEFAULT_DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def make_certificates(folder):
    """Makes web-ca.crt/.key and server.crt/.key in folder: keys for this
    program alone, certificates for every user (the client runs as one)."""
    os.makedirs(folder, mode=0o755, exist_ok=True)
    newkey = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    ca, ca_key = os.path.join(folder, "web-ca.crt"), os.path.join(folder, "web-ca.key")
    server, server_key = os.path.join(folder, "server.crt"), os.path.join(folder, "server.key")
    csr, ext = os.path.join(folder, "server.csr"), os.path.join(folder, "server.ext")
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                "keyUsage=critical,digitalSignature\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n")
    old_umask = os.umask(0o077)
    try:
        for command in (
            ["openssl", "req", "-x509", *newkey, "-keyout", ca_key, "-out", ca, "-days", "825",
             "-subj", "/CN=Varvex Development Web API CA",
             "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"],
            ["openssl", "req", "-new", *newkey, "-keyout", server_key, "-out", csr, "-subj", "/CN=localhost"],
            ["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial",
             "-days", "825", "-extfile", ext, "-out", server],
        ):
            result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if result.returncode != 0:
                raise OSError("%s failed: %s" % (" ".join(command[:2]), result.stdout.decode(errors="replace")))
    finally:
        os.umask(old_umask)
    for certificate in (ca, server):
        os.chmod(certificate, 0o644)


def tls_context(folder):
    server, server_key = os.path.join(folder, "server.crt"), os.path.join(folder, "server.key")
    if not (os.path.exists(server) and os.path.exists(server_key)):
        make_certificates(folder)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(server, server_key)
    return context


class TlsServer(ThreadingHTTPServer):
    """Handshakes in each request's thread, so that a client that never
    finishes its handshake holds up no one else."""

    def __init__(self, address, handler, context):
        super().__init__(address, handler)
        self.context = context

    def get_request(self):
        connection, address = super().get_request()
        return self.context.wrap_socket(connection, server_side=True, do_handshake_on_connect=False), address

    def finish_request(self, request, client_address):
        request.settimeout(10)
        try:
            request.do_handshake()
        except (ssl.SSLError, OSError) as error:
            sys.stderr.write("%s - TLS handshake failed: %s\n" % (client_address[0], error))
            return
        request.settimeout(None)
        super().finish_request(request, client_address)


class Api:
    def __init__(self, data_dir, public_ip):
        self.data_dir = data_dir
        self.public_ip = public_ip
        with open(os.path.join(data_dir, "ca.crt"), "rb") as f:
            self.ca = f.read()
        self.ca_hash = hashlib.sha1(self.ca).hexdigest()

    def load_json(self, name):
        with open(os.path.join(self.data_dir, name), "rb") as f:
            return json.load(f)


class Handler(BaseHTTPRequestHandler):
    server_version = "VarvexDevWebApi/1.0"
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        api = self.server.api
        parts = self.path.split("?", 1)[0].split("/")
        # ["", endpoint, key, extra...]
        if len(parts) < 3 or parts[0] != "":
            return self.reply(404, {"error": "unknown path"})
        endpoint, key, extra = parts[1], parts[2], parts[3:]
        routes = {
            "get_ip": (0, self.get_ip),
            "get_list": (0, self.get_list),
            "get_user": (1, self.get_user),
            "get_ca_info": (0, self.get_ca_info),
            "get_ca": (0, self.get_ca),
        }
        if endpoint not in routes:
            return self.reply(404, {"error": "unknown path"})
        if key != API_KEY:
            return self.reply(403, {"error": "bad key"})
        arity, handler = routes[endpoint]
        if len(extra) != arity:
            return self.reply(404, {"error": "unknown path"})
        try:
            handler(api, *[unquote(e) for e in extra])
        except (OSError, ValueError) as error:
            self.log_message("data error: %s", error)
            self.reply(500, {"error": "data folder unreadable"})

    def get_ip(self, api):
        self.reply(200, {"ip": api.public_ip or self.client_address[0]})

    def get_list(self, api):
        self.reply(200, api.load_json("servers.json"))

    def get_user(self, api, token):
        users = api.load_json("users.json")
        if token not in users:
            return self.reply(404, {"error": "unknown user"})
        self.reply(200, users[token])

    def get_ca_info(self, api):
        self.reply(200, {"hash": api.ca_hash})

    def get_ca(self, api):
        self.reply(200, api.ca, "application/x-x509-ca-cert")

    def reply(self, status, body, content_type="application/json"):
        if not isinstance(body, bytes):
            body = json.dumps(body).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, fmt, *args):
        sys.stderr.write("%s - %s\n" % (self.client_address[0], fmt % args))
        sys.stderr.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("port_arg", nargs="?", type=int, metavar="PORT", help="port (default 8080)")
    parser.add_argument("--port", type=int, help="port; 0 picks a free one")
    parser.add_argument("--data", default=DEFAULT_DATA, help="data folder (default: data/ beside this file)")
    parser.add_argument("--ip", help="address /get_ip/ answers (default: the caller's)")
    parser.add_argument("--address", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--tls-dir", help="folder of server.crt/.key, made with a development CA when "
                        "missing (default: a new temporary folder)")
    parser.add_argument("--http", action="store_true", help="plain HTTP instead of HTTPS")
    args = parser.parse_args()

    port = args.port if args.port is not None else (args.port_arg if args.port_arg is not None else 8080)
    try:
        api = Api(args.data, args.ip)
    except OSError as error:
        sys.exit("devwebapi: cannot read the data folder: %s" % error)

    if args.http:
        server = ThreadingHTTPServer((args.address, port), Handler)
    else:
        tls_dir = args.tls_dir
        if not tls_dir:
            tls_dir = tempfile.mkdtemp(prefix="varvex-devwebapi-")
            os.chmod(tls_dir, 0o755)
        try:
            context = tls_context(tls_dir)
        except (OSError, ssl.SSLError) as error:
            sys.exit("devwebapi: no TLS certificate: %s" % error)
        server = TlsServer((args.address, port), Handler, context)
    server.daemon_threads = True
    server.api = api
    print("devwebapi listening on %s:%d" % server.server_address[:2], flush=True)
    print("ca.crt sha1 %s" % api.ca_hash, flush=True)
    if args.http:
        print("devwebapi serves plain HTTP", flush=True)
    else:
        print("devwebapi CA %s" % os.path.join(os.path.abspath(tls_dir), "web-ca.crt"), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
