#!/usr/bin/env python3
"""A loopback HTTPS file server for the HTTPS tests and the main job.

Each --listen NAME CERT KEY PORT opens one TLS listener (port 0: a free port) on localhost, that is on
127.0.0.1 and, where the machine has it, on ::1 with the same port, because a client may resolve localhost
to either. Every listener serves the files below --root. Once all listeners accept connections the ready
file is written (in one rename) with one "NAME PORT" line per listener and a last line "ready".

The log gets one tab-separated line per event, written before the client can see its outcome:
    connection NAME                      a TCP connection was accepted
    tls-failed NAME ERROR                the TLS handshake failed
    request NAME PATH STATUS TLS USER-AGENT   a request arrived over TLS (TLS = protocol version and cipher)

With --control the server also listens on a plain loopback port (line "control PORT" in the ready file) and
ends as soon as the one connection it accepts there is closed, so a test that dies takes its server with it;
without a control connection within 60 s it ends too. Otherwise it runs until SIGTERM or SIGINT.
"""

import argparse
import errno
import http.server
import os
import signal
import socket
import socketserver
import ssl
import sys
import threading

log_lock = threading.Lock()
log_file = None


def log(*fields):
    line = "\t".join(str(f).replace("\t", " ").replace("\n", " ") for f in fields)
    with log_lock:
        log_file.write(line + "\n")
        log_file.flush()


class Handler(http.server.SimpleHTTPRequestHandler):
    def send_response(self, code, message=None):
        # Logged before the status line leaves, so a client that has its response finds it logged.
        tls = self.connection.version() + " " + self.connection.cipher()[0]
        log("request", self.server.name, self.path, code, tls, self.headers.get("User-Agent", ""))
        super().send_response(code, message)

    def log_message(self, format, *args):
        pass


class TlsServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True

    def __init__(self, name, context, family, port, root):
        self.address_family = family
        self.name = name
        self.context = context
        self.root = root
        host = "::1" if family == socket.AF_INET6 else "127.0.0.1"
        super().__init__((host, port), lambda *a: Handler(*a, directory=root))

    def server_bind(self):
        if self.address_family == socket.AF_INET6:
            self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        socketserver.TCPServer.server_bind(self)

    def finish_request(self, request, client_address):
        # The handshake runs in the connection's own thread, so a stalled client holds up nobody else.
        log("connection", self.name)
        request.settimeout(20)
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as error:
            log("tls-failed", self.name, error)
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            tls.close()


def open_listener(name, cert, key, port, root):
    """The servers of one listener: 127.0.0.1 and, when the machine has it, ::1 on the same port."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    for _ in range(50):
        v4 = TlsServer(name, context, socket.AF_INET, port, root)
        try:
            v6 = TlsServer(name, context, socket.AF_INET6, v4.server_address[1], root)
        except OSError as error:
            if error.errno in (errno.EADDRNOTAVAIL, errno.EAFNOSUPPORT):
                return [v4]
            v4.server_close()
            if port != 0:
                raise
            continue  # the free port on 127.0.0.1 is taken on ::1: try another one
        return [v4, v6]
    raise OSError(f"no port is free on both 127.0.0.1 and ::1 for {name}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--listen", nargs=4, action="append", required=True, metavar=("NAME", "CERT", "KEY", "PORT"))
    parser.add_argument("--ready-file", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--output", help="file for this server's own output and errors")
    parser.add_argument("--control", action="store_true")
    args = parser.parse_args()

    if args.output:
        output = open(args.output, "a", buffering=1)
        os.dup2(output.fileno(), 1)
        os.dup2(output.fileno(), 2)
    global log_file
    log_file = open(args.log, "a", encoding="utf-8")

    servers = []
    lines = []
    for name, cert, key, port in args.listen:
        listener = open_listener(name, cert, key, int(port), args.root)
        servers += listener
        lines.append(f"{name} {listener[0].server_address[1]}")
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()

    control = None
    if args.control:
        control = socket.create_server(("127.0.0.1", 0))
        control.settimeout(60)
        lines.append(f"control {control.getsockname()[1]}")

    temporary = args.ready_file + ".tmp"
    with open(temporary, "w") as f:
        f.write("\n".join(lines + ["ready"]) + "\n")
    os.replace(temporary, args.ready_file)

    if control:
        try:
            connection, _ = control.accept()
            connection.settimeout(None)
            while connection.recv(4096):
                pass
        except OSError:
            pass
    else:
        stop = threading.Event()
        signal.signal(signal.SIGTERM, lambda *_: stop.set())
        signal.signal(signal.SIGINT, lambda *_: stop.set())
        while not stop.wait(1):
            pass
    for server in servers:
        server.shutdown()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
