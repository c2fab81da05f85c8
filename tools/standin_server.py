#!/usr/bin/env python3
"""A stand-in management server for trying and testing the agent.

It speaks real HTTP and HTTPS on loopback. POST requests are told apart by
"interface"."interfaceName" of their JSON body and answered from a per-interface
queue of scripted replies (then a default, by default {"returnCode":0}); GET
requests are answered by path (metadata UUID bodies, package files). Every
request is recorded for assertions.

The TLS listener also takes plain HTTP on the same port (it looks at the first
byte of each connection), because the agent sends its reports to the http form
of an https url: same host, port and path.

In-process use (tests):

    server = StandinServer(tls=make_tls_material(tmpdir).localhost)
    server.start()
    server.on_post("SendLogs", Reply(status=500, body=b""), Reply.drop())
    server.on_get("/uuid", default=Reply(body=b"6f1c2a9e-..."))
    ... server.wait_for("SendLogs", count=2) ...
    server.stop()

Command line (trying the agent by hand), see tools/README.md:

    python3 tools/standin_server.py --http-port 8080 [--https-port 8443 --make-tls DIR]
"""

import argparse
import collections
import http.server
import json
import os
import select
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time

DEFAULT_ANSWER = b'{"returnCode":0}'


class Reply:
    """One scripted answer.

    body:    bytes, str, or any JSON-serialisable value (dumped compactly).
    status:  HTTP status code.
    delay:   seconds to wait before doing anything (cut short by stop()).
    drop:    close the connection without answering (after the delay).
    partial: send the headers (with the full Content-Length) and only this many
             body bytes, then hang until the client goes away, `hang` seconds
             pass, or the server stops.
    headers: extra response headers, a dict.
    """

    def __init__(self, body=DEFAULT_ANSWER, status=200, delay=0.0, drop=False, partial=None, hang=60.0,
                 headers=None, content_type="application/json"):
        if isinstance(body, str):
            body = body.encode()
        elif not isinstance(body, (bytes, bytearray)):
            body = json.dumps(body, separators=(",", ":")).encode()
        self.body = bytes(body)
        self.status = status
        self.delay = delay
        self.drop = drop
        self.partial = partial
        self.hang = hang
        self.headers = dict(headers or {})
        self.content_type = content_type

    @classmethod
    def json(cls, value, **kw):
        return cls(body=json.dumps(value, separators=(",", ":")).encode(), **kw)

    @classmethod
    def drop_connection(cls, delay=0.0):
        return cls(body=b"", drop=True, delay=delay)

    @classmethod
    def hang_after(cls, body, sent, hang=60.0):
        """Headers and the first `sent` bytes of `body`, then silence."""
        return cls(body=body, partial=sent, hang=hang)

    def __repr__(self):
        return "Reply(status=%r, body=%r%s%s%s)" % (
            self.status, self.body[:60], ", delay=%r" % self.delay if self.delay else "",
            ", drop" if self.drop else "", ", partial=%r" % self.partial if self.partial is not None else "")


class Request:
    """One recorded request."""

    def __init__(self, method, path, headers, body, listener, tls, client):
        self.method = method
        self.path = path
        self.headers = headers  # email.message.Message: case-insensitive get()
        self.body = body
        self.listener = listener  # "http" or "https"
        self.tls = tls  # whether this connection spoke TLS
        self.client = client
        self.time = time.time()
        self.monotonic = time.monotonic()
        self.reply = None  # the Reply that answered it (None: 404 of a GET)

    def json(self):
        """The body parsed as JSON (raises ValueError when it is not)."""
        return json.loads(self.body.decode("utf-8"))

    @property
    def interface(self):
        """"interface"."interfaceName" of a JSON body, else None."""
        try:
            value = self.json()["interface"]["interfaceName"]
        except (ValueError, KeyError, TypeError, UnicodeDecodeError):
            return None
        return value if isinstance(value, str) else None

    @property
    def para(self):
        return self.json()["interface"]["para"]

    def __repr__(self):
        return "Request(%s %s%s, %d bytes%s)" % (
            self.method, self.path, " [%s]" % self.interface if self.interface else "", len(self.body),
            ", tls" if self.tls else "")


class _Route:
    def __init__(self):
        self.queue = collections.deque()
        self.default = None


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # so that "Expect: 100-continue" is answered at once

    def setup(self):
        self.tls = False
        ctx = self.server.tls_context
        if ctx is not None:
            self.request.settimeout(10)
            try:
                first = self.request.recv(1, socket.MSG_PEEK)
            except OSError:
                first = b""
            if first == b"\x16":  # a TLS handshake record
                try:
                    self.request = ctx.wrap_socket(self.request, server_side=True)
                except (ssl.SSLError, OSError) as error:
                    self.server.owner._note_tls_error(error)
                    raise
                self.tls = True
            self.request.settimeout(None)
        super().setup()

    def log_message(self, format, *args):  # noqa: A002 - signature of the base class
        pass

    def _read_body(self):
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            chunks = []
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return b"".join(chunks)
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def _serve(self):
        owner = self.server.owner
        body = self._read_body() if self.command in ("POST", "PUT") else b""
        request = Request(self.command, self.path, self.headers, body, self.server.listener_name, self.tls,
                          self.client_address)
        reply = owner._dispatch(request)
        request.reply = reply
        owner._record(request)
        self.close_connection = True
        if reply is None:
            self._send(Reply(body=b"not found\n", status=404, content_type="text/plain"))
            return
        if reply.delay and owner._stopping.wait(reply.delay):
            return
        if reply.drop:
            return
        self._send(reply)

    def _send(self, reply):
        self.send_response(reply.status)
        self.send_header("Content-Type", reply.content_type)
        self.send_header("Content-Length", str(len(reply.body)))
        self.send_header("Connection", "close")
        for name, value in reply.headers.items():
            self.send_header(name, value)
        self.end_headers()
        if self.command == "HEAD":
            return
        if reply.partial is None:
            self.wfile.write(reply.body)
            self.wfile.flush()
            return
        self.wfile.write(reply.body[:reply.partial])
        self.wfile.flush()
        self._hang(reply.hang)

    def _hang(self, seconds):
        """Keep the connection open, silent, until the peer leaves or stop()."""
        deadline = time.monotonic() + seconds
        owner = self.server.owner
        while not owner._stopping.is_set() and time.monotonic() < deadline:
            readable, _, _ = select.select([self.connection], [], [], 0.05)
            if readable:
                try:
                    if not self.connection.recv(4096):
                        return
                except (OSError, ssl.SSLError):
                    return

    do_POST = _serve
    do_GET = _serve
    do_PUT = _serve
    do_HEAD = _serve


class _Listener(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # A client that leaves mid-answer is part of what the tests provoke.
        pass


class StandinServer:
    """The stand-in management server: one plain HTTP listener and, with `tls`
    (a CertPair), one listener that takes both TLS and plain HTTP.

    Ports 0 mean "let the OS choose"; the chosen ones are in http_port and
    https_port after start(). `log` is called with each Request (for example
    print) as it is recorded.
    """

    def __init__(self, host="127.0.0.1", http_port=0, https_port=0, tls=None, log=None):
        self.host = host
        self._ports = (http_port, https_port)
        self._tls = tls
        self._log = log
        self._watchers = []
        self._lock = threading.Condition()
        self._routes = {}
        self._post_default = Reply()
        self._requests = []
        self._tls_errors = []
        self._stopping = threading.Event()
        self._listeners = []
        self._threads = []
        self.http_port = None
        self.https_port = None

    # -- life cycle ---------------------------------------------------------

    def start(self):
        self._stopping.clear()
        http_listener = self._listen(self._ports[0], "http", None)
        self.http_port = http_listener.server_address[1]
        if self._tls is not None:
            https_listener = self._listen(self._ports[1], "https", self._context(self._tls))
            self.https_port = https_listener.server_address[1]
        return self

    def stop(self):
        self._stopping.set()
        for listener in self._listeners:
            listener.shutdown()
            listener.server_close()
        for thread in self._threads:
            thread.join(5)
        self._listeners.clear()
        self._threads.clear()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _listen(self, port, name, context):
        listener = _Listener((self.host, port), _Handler)
        listener.owner = self
        listener.listener_name = name
        listener.tls_context = context
        thread = threading.Thread(target=listener.serve_forever, kwargs={"poll_interval": 0.05},
                                  name="standin-" + name, daemon=True)
        thread.start()
        self._listeners.append(listener)
        self._threads.append(thread)
        return listener

    @staticmethod
    def _context(pair):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(pair.cert, pair.key)
        return context

    def use_certificate(self, pair):
        """Present another certificate (a CertPair) from the next connection on."""
        context = self._context(pair)
        self._tls = pair
        for listener in self._listeners:
            if listener.tls_context is not None:
                listener.tls_context = context

    # -- addresses ----------------------------------------------------------

    @property
    def http_url(self):
        return "http://%s:%d" % (self.host, self.http_port)

    @property
    def https_url(self):
        """The TLS listener's url by name ("localhost"), as certificates name it."""
        return "https://localhost:%d" % self.https_port

    # -- scripting ----------------------------------------------------------

    def on_post(self, interface, *replies, default=None):
        """Queue replies for POSTs of `interface` (an interfaceName; None for
        bodies without one); `default` answers once the queue is empty."""
        self._script(("POST", interface), replies, default)

    def on_get(self, path, *replies, default=None):
        """Queue replies for GETs of `path` (matched with and then without its
        query); without any reply or default the path answers 404."""
        self._script(("GET", path), replies, default)

    def on_request(self, callback):
        """Call callback(request) for every request once it is recorded and
        before it is answered, on the server's thread: the client is still
        waiting for its answer then."""
        with self._lock:
            self._watchers.append(callback)

    def set_post_default(self, reply):
        """The answer of every POST whose interface has no reply of its own."""
        with self._lock:
            self._post_default = reply

    def serve_file(self, path, data, status=200):
        """Answer GETs of `path` with `data` (bytes, or the name of a file read now)."""
        if isinstance(data, str):
            with open(data, "rb") as stream:
                data = stream.read()
        self.on_get(path, default=Reply(body=data, status=status, content_type="application/octet-stream"))

    def _script(self, key, replies, default):
        with self._lock:
            route = self._routes.setdefault(key, _Route())
            route.queue.extend(replies)
            if default is not None:
                route.default = default

    def reset(self):
        """Forget every script, watcher and recorded request."""
        with self._lock:
            self._routes.clear()
            self._post_default = Reply()
            self._requests.clear()
            self._tls_errors.clear()
            self._watchers.clear()

    def _dispatch(self, request):
        with self._lock:
            if request.method in ("POST", "PUT"):
                keys = [("POST", request.interface)]
                fallback = self._post_default
            else:
                keys = [("GET", request.path), ("GET", request.path.split("?", 1)[0])]
                fallback = None
            for key in keys:
                route = self._routes.get(key)
                if route is None:
                    continue
                if route.queue:
                    return route.queue.popleft()
                if route.default is not None:
                    return route.default
            return fallback

    # -- records ------------------------------------------------------------

    def _record(self, request):
        with self._lock:
            self._requests.append(request)
            self._lock.notify_all()
            watchers = list(self._watchers)
        for watcher in watchers:
            watcher(request)
        if self._log is not None:
            self._log(request)

    def _note_tls_error(self, error):
        with self._lock:
            self._tls_errors.append(error)
            self._lock.notify_all()

    @property
    def tls_errors(self):
        """Failed TLS handshakes (the exceptions), oldest first."""
        with self._lock:
            return list(self._tls_errors)

    def requests(self, interface=None, method=None, path=None):
        """Recorded requests, oldest first, optionally filtered."""
        with self._lock:
            found = list(self._requests)
        return [r for r in found
                if (interface is None or r.interface == interface)
                and (method is None or r.method == method)
                and (path is None or r.path == path)]

    def wait_for(self, interface=None, count=1, timeout=10.0, method=None, path=None):
        """Wait until `count` matching requests are recorded and return them;
        AssertionError with what did arrive on time-out."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while True:
                found = self.requests(interface, method, path)
                if len(found) >= count:
                    return found
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("waited %.1fs for %d request(s) %s; got: %r" % (
                        timeout, count, interface or method or path or "", self.requests()))
                self._lock.wait(min(left, 0.5))

    def wait_for_tls_error(self, timeout=10.0):
        deadline = time.monotonic() + timeout
        with self._lock:
            while not self._tls_errors:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no failed TLS handshake within %.1fs" % timeout)
                self._lock.wait(min(left, 0.5))
            return list(self._tls_errors)


# -- TLS material -----------------------------------------------------------

class CertPair:
    def __init__(self, cert, key):
        self.cert = cert
        self.key = key

    def __repr__(self):
        return "CertPair(%r)" % self.cert


class TlsMaterial:
    """Paths of the generated test PKI, all inside `directory`:

    ca           a CA certificate (ca.pem), the one to name as "caPath"
    localhost    server certificate for localhost (SAN DNS:localhost, IP:127.0.0.1), signed by ca
    other_name   server certificate for other.invalid, signed by ca
    self_signed  self-signed certificate naming localhost (SAN as above)
    other_ca     a second CA certificate that signed none of these
    """

    def __init__(self, directory):
        self.directory = directory
        join = lambda name: os.path.join(directory, name)  # noqa: E731
        self.ca = join("ca.pem")
        self.ca_key = join("ca.key")
        self.localhost = CertPair(join("localhost.pem"), join("localhost.key"))
        self.other_name = CertPair(join("other.pem"), join("other.key"))
        self.self_signed = CertPair(join("self-signed.pem"), join("self-signed.key"))
        self.other_ca = join("other-ca.pem")


def make_tls_material(directory):
    """Generate the test PKI with the openssl command into `directory`."""
    os.makedirs(directory, exist_ok=True)
    material = TlsMaterial(directory)
    ec_key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    ca_ext = ["-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"]
    localhost_san = "subjectAltName=DNS:localhost,IP:127.0.0.1"

    def openssl(*args):
        subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def self_signed(cert, key, subject, extensions):
        openssl("req", "-x509", *ec_key, "-keyout", key, "-out", cert, "-days", "3", "-subj", subject, *extensions)

    def signed_by_ca(pair, subject, san):
        csr = pair.cert + ".csr"
        ext = pair.cert + ".ext"
        openssl("req", *ec_key, "-keyout", pair.key, "-out", csr, "-subj", subject)
        with open(ext, "w") as stream:
            stream.write("basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\n"
                         "extendedKeyUsage=serverAuth\n%s\n" % san)
        openssl("x509", "-req", "-in", csr, "-CA", material.ca, "-CAkey", material.ca_key, "-CAcreateserial",
                "-out", pair.cert, "-days", "3", "-extfile", ext)
        os.remove(csr)
        os.remove(ext)

    self_signed(material.ca, material.ca_key, "/CN=Quillmar Test CA", ca_ext)
    signed_by_ca(material.localhost, "/CN=localhost", localhost_san)
    signed_by_ca(material.other_name, "/CN=other.invalid", "subjectAltName=DNS:other.invalid")
    self_signed(material.self_signed.cert, material.self_signed.key, "/CN=localhost",
                ["-addext", localhost_san])
    self_signed(material.other_ca, os.path.join(directory, "other-ca.key"), "/CN=Unrelated Test CA", ca_ext)
    return material


# -- command line -----------------------------------------------------------

def _print_request(request):
    stamp = time.strftime("%H:%M:%S", time.localtime(request.time))
    answer = request.reply
    if answer is None:
        outcome = "404"
    elif answer.drop:
        outcome = "dropped"
    else:
        outcome = "%d %s" % (answer.status, answer.body[:80].decode("utf-8", "replace"))
    print("%s %s %s %s%s -> %s" % (stamp, request.listener + ("/tls" if request.tls else ""), request.method,
                                   request.path, " [%s]" % request.interface if request.interface else "",
                                   outcome), flush=True)
    if request.body:
        text = request.body.decode("utf-8", "replace")
        try:
            text = json.dumps(json.loads(text), indent=2, sort_keys=True)
        except ValueError:
            pass
        print("  " + text.replace("\n", "\n  "), flush=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Stand-in management server for the quillmar agent.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--http-port", type=int, default=8080)
    parser.add_argument("--https-port", type=int, help="also listen for TLS (and plain HTTP) here")
    parser.add_argument("--cert", help="server certificate (PEM) for --https-port")
    parser.add_argument("--key", help="its private key (PEM)")
    parser.add_argument("--make-tls", metavar="DIR", help="generate a test CA and certificates into DIR and "
                        "serve the localhost one (name DIR/ca.pem as caPath)")
    parser.add_argument("--uuid", default="6f1c2a9e-3b47-4d58-9e0a-2c5b7d8e9f10",
                        help="body of GET --uuid-path (the metadata url)")
    parser.add_argument("--uuid-path", default="/latest/meta-data/uuid")
    parser.add_argument("--answer", action="append", default=[], metavar="INTERFACE=JSON",
                        help="default answer of one interface, e.g. "
                        "'CheckModules={\"returnCode\":0,\"returnData\":[]}', or @FILE for the "
                        "bytes of a file (repeatable)")
    parser.add_argument("--answer-once", action="append", default=[], metavar="INTERFACE=JSON",
                        help="answer the next request of one interface once, before its default; "
                        "repeatable, used up in order")
    parser.add_argument("--file", action="append", default=[], metavar="PATH=FILE",
                        help="serve FILE at GET PATH, e.g. /pkg/mod.bin=./mod.bin (repeatable)")
    args = parser.parse_args(argv)

    tls = None
    if args.make_tls:
        tls = make_tls_material(args.make_tls).localhost
        print("TLS material in %s; CA file: %s" % (args.make_tls, os.path.join(args.make_tls, "ca.pem")))
    elif args.cert:
        tls = CertPair(args.cert, args.key or args.cert)
    if args.https_port is not None and tls is None:
        parser.error("--https-port needs --cert/--key or --make-tls")
    if tls is not None and args.https_port is None:
        args.https_port = 8443

    server = StandinServer(args.host, args.http_port, args.https_port or 0, tls=tls, log=_print_request)
    server.on_get(args.uuid_path, default=Reply(body=args.uuid.encode(), content_type="text/plain"))
    def answer_body(item):
        interface, _, body = item.partition("=")
        if body.startswith("@"):
            with open(body[1:], "rb") as stream:
                return interface, stream.read()
        return interface, body.encode()

    for item in args.answer_once:
        interface, body = answer_body(item)
        server.on_post(interface, Reply(body=body))
    for item in args.answer:
        interface, body = answer_body(item)
        server.on_post(interface, default=Reply(body=body))
    for item in args.file:
        path, _, name = item.partition("=")
        server.serve_file(path, name)
    server.start()
    print("listening: %s/ (metadata: %s%s)" % (server.http_url, server.http_url, args.uuid_path), flush=True)
    if server.https_port:
        print("listening: https://localhost:%d/ (plain http on the same port too)" % server.https_port,
              flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
