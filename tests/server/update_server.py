#!/usr/bin/env python3
"""The local update server: HTTPS (and plain HTTP) on 127.0.0.1, serving the
manifest and image files with byte ranges, and misbehaving on command.

Control requests (any method, on either port), answered with text/plain:
  /__control/hello                     -> "quenvar-update-server 3"
  /__control/features                  -> what this server offers beyond version 3
  /__control/tls?cert=K                -> later handshakes on the HTTPS port show the
                                          "trusted" certificate (the default),
                                          an "untrusted" self-signed one, or one the
                                          test authority signed for "wrong_name"
  /__control/lock?owner=X[&wait=S]     -> waits until the server is free; "locked"
  /__control/unlock?owner=X            -> "unlocked"
  /__control/reset                     -> forgets files, scripts, the request log and
                                          the served folder
  /__control/root?path=F               -> paths without a file of their own are served
                                          from folder F (what tools/publish-image wrote)
  /__control/put?path=P[&sign=K]       -> the request body becomes the file at P; with
                                          sign, P.sig holds its signature as
                                          `openssl dgst -sha256 -sign tests/keys/K.pem`
                                          writes it (the publisher's, or another key)
  /__control/image?path=P&size=N[&seed=S][&zero_prefix=Z]
                                       -> a generated file at P; answers its SHA-256
  /__control/script?path=P&...fault... -> the next request(s) to P misbehave
  /__control/slice?path=P&offset=O&count=N -> those bytes of the file at P
  /__control/log                       -> one line per request: method, path with
                                          query, Range header or "-", user agent,
                                          scheme, the sign-in it carried ("proxy NTLM",
                                          "server Negotiate") or "-", separated by tabs
  /__control/quit                      -> the server exits

Faults (combine as needed; `times` says for how many requests, default 1):
  drop=1              close the connection without an answer
  status=N            answer N with a short body (any status)
  challenge=S         with status 401 or 407: ask for a sign-in with scheme S, and
                      serve a request that brings one of that scheme as usual
  content_range=V     answer 206 with this Content-Range; "missing" sends none
  ignore_range=1      answer 200 with the whole file whatever the Range says
  extra=N             send N bytes more than the file holds
  cut=N               declare the full length but close after N body bytes
  short=N             send N body bytes without a length, then close cleanly
  stall=N             after N body bytes go silent for `stall_seconds` (40)
  rate=N              send the body at about N bytes per second

The plain-HTTP port is also a forward proxy for HTTPS: CONNECT to localhost or
127.0.0.1 opens a tunnel, and the request log gets a line "CONNECT<tab>host:port".
"""
import argparse
import hashlib
import os
import random
import re
import select
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HELLO = b"quenvar-update-server 4"
FEATURES = b"tls connect root sign challenge"
PATTERN_BYTES = 1000003  # not a power of two, so shifted ranges never look alike
SEND_PIECE = 1 << 20
LOCK_LEASE_SECONDS = 180
KEYS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "keys")


class PatternFile:
    """size bytes: zero below zero_prefix, then a seeded pseudo-random block repeated."""

    def __init__(self, size, seed, zero_prefix):
        block = random.Random(seed).randbytes(PATTERN_BYTES)
        self.doubled = memoryview(block + block)
        self.zeros = memoryview(bytes(SEND_PIECE))
        self.size = size
        self.zero_prefix = min(zero_prefix, size)

    def piece(self, offset, limit):
        """Up to `limit` bytes from `offset`; never empty while offset < size."""
        if offset < self.zero_prefix:
            return self.zeros[:min(limit, SEND_PIECE, self.zero_prefix - offset)]
        start = offset % PATTERN_BYTES
        return self.doubled[start:start + min(limit, PATTERN_BYTES, self.size - offset)]

    def sha256(self):
        digest = hashlib.sha256()
        offset = 0
        while offset < self.size:
            part = self.piece(offset, self.size - offset)
            digest.update(part)
            offset += len(part)
        return digest.hexdigest()


class BytesFile:
    def __init__(self, data):
        self.data = memoryview(data)
        self.size = len(data)

    def piece(self, offset, limit):
        return self.data[offset:offset + min(limit, SEND_PIECE)]


class DiskFile:
    """A file of the served folder, read piece by piece as it is sent."""

    def __init__(self, path):
        self.path = path
        self.size = os.path.getsize(path)

    def piece(self, offset, limit):
        with open(self.path, "rb") as source:
            source.seek(offset)
            return source.read(min(limit, SEND_PIECE, self.size - offset))


def signature(data, key_name):
    """The raw signature that `openssl dgst -sha256 -sign` writes, with a test key."""
    if not re.fullmatch(r"[a-z-]+", key_name or ""):
        raise ValueError("no test key %r" % key_name)
    return subprocess.run(["openssl", "dgst", "-sha256", "-sign",
                           os.path.join(KEYS, key_name + ".pem")],
                          input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          check=True).stdout


def folder_file(root, url_path):
    """The file of `root` that a request path names, or None; never one outside it."""
    if root is None:
        return None
    relative = urllib.parse.unquote(url_path).lstrip("/")
    path = os.path.realpath(os.path.join(root, relative))
    if not path.startswith(os.path.realpath(root) + os.sep) or not os.path.isfile(path):
        return None
    return DiskFile(path)


class State:
    def __init__(self):
        self.mutex = threading.Lock()
        self.freed = threading.Condition(self.mutex)
        self.files = {}
        self.scripts = []
        self.log = []
        self.owner = None
        self.lease_end = 0.0
        self.last_activity = time.monotonic()
        self.certificate = "trusted"
        self.root = None
        self.default_root = None

    def reset(self):
        with self.mutex:
            self.files.clear()
            self.scripts.clear()
            self.log.clear()
            self.certificate = "trusted"
            self.root = self.default_root

    def take_script(self, path):
        with self.mutex:
            for entry in self.scripts:
                if entry["path"] == path:
                    entry["times"] -= 1
                    if entry["times"] <= 0:
                        self.scripts.remove(entry)
                    return entry
        return {}

    def lock(self, owner, wait_seconds):
        deadline = time.monotonic() + wait_seconds
        with self.mutex:
            while True:
                now = time.monotonic()
                if self.owner in (None, owner) or now >= self.lease_end:
                    break
                if now >= deadline:
                    return False
                self.freed.wait(min(deadline, self.lease_end) - now)
            self.owner = owner
            self.lease_end = time.monotonic() + LOCK_LEASE_SECONDS
            return True

    def unlock(self, owner):
        with self.mutex:
            if self.owner == owner:
                self.owner = None
                self.freed.notify_all()


STATE = State()


class Certificates:
    """TLS contexts by kind; the faulty certificates are made on first use."""

    def __init__(self, trusted_pem):
        self.authority = os.path.dirname(os.path.abspath(trusted_pem))
        self.folder = None
        self.mutex = threading.Lock()
        self.contexts = {"trusted": self.load(trusted_pem)}

    @staticmethod
    def load(pem):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(pem)
        return context

    def openssl(self, *args):
        subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, cwd=self.folder)

    def make(self, kind):
        if self.folder is None:
            self.folder = tempfile.mkdtemp(prefix="qv-update-server-")
        key, cert = kind + ".key", kind + ".crt"
        if kind == "untrusted":
            self.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                         "-subj", "/CN=localhost", "-addext",
                         "subjectAltName=DNS:localhost,IP:127.0.0.1",
                         "-keyout", key, "-out", cert)
        elif kind == "wrong_name":
            with open(os.path.join(self.folder, "ext.cnf"), "w") as ext:
                ext.write("subjectAltName=DNS:elsewhere.invalid\n"
                          "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
            self.openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=elsewhere.invalid",
                         "-keyout", key, "-out", kind + ".csr")
            self.openssl("x509", "-req", "-in", kind + ".csr",
                         "-CA", os.path.join(self.authority, "ca.crt"),
                         "-CAkey", os.path.join(self.authority, "ca.key"),
                         "-set_serial", str(random.getrandbits(63)), "-days", "30",
                         "-extfile", "ext.cnf", "-out", cert)
        else:
            raise ValueError("unknown certificate kind " + kind)
        pem = os.path.join(self.folder, kind + ".pem")
        with open(pem, "wb") as out:
            for part in (cert, key):
                with open(os.path.join(self.folder, part), "rb") as source:
                    out.write(source.read())
        return self.load(pem)

    def context(self, kind):
        with self.mutex:
            if kind not in self.contexts:
                self.contexts[kind] = self.make(kind)
            return self.contexts[kind]


CERTIFICATES = None


def parse_range(header, size):
    """(start, end) inclusive, None for no usable range, or 'unsatisfiable'."""
    if not header or not header.startswith("bytes=") or "," in header:
        return None
    first, _, last = header[6:].strip().partition("-")
    try:
        if first == "":
            count = int(last)
            return (max(0, size - count), size - 1) if count > 0 else "unsatisfiable"
        start = int(first)
        end = int(last) if last else size - 1
    except ValueError:
        return None
    if start >= size or end < start:
        return "unsatisfiable"
    return (start, min(end, size - 1))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "quenvar-test-server"

    def log_message(self, *args):
        pass

    def do_GET(self):
        STATE.last_activity = time.monotonic()
        url = urllib.parse.urlsplit(self.path)
        # A client behind a proxy may name the whole address; log the path alone.
        self.path = url.path + ("?" + url.query if url.query else "")
        if url.path.startswith("/__control/"):
            self.control(url.path[len("/__control/"):], urllib.parse.parse_qs(url.query))
        else:
            self.serve(url.path)

    do_POST = do_GET
    do_HEAD = do_GET

    def log_request_line(self, range_header):
        STATE.log.append("\t".join([
            self.command, self.path, range_header or "-",
            self.headers.get("User-Agent") or "-", self.server.scheme, self.sign_in()]))

    def sign_in(self):
        for target, header in (("proxy", "Proxy-Authorization"), ("server", "Authorization")):
            if self.headers.get(header):
                return target + " " + self.headers[header].split(" ")[0]
        return "-"

    def do_CONNECT(self):
        STATE.last_activity = time.monotonic()
        with STATE.mutex:
            self.log_request_line(None)
        host, _, port = self.path.rpartition(":")
        if host not in ("localhost", "127.0.0.1") or not port.isdigit():
            self.send_simple(403, b"only local tunnels\n")
            return
        try:
            upstream = socket.create_connection(("127.0.0.1", int(port)), timeout=10)
        except OSError:
            self.send_simple(502, b"no answer\n")
            return
        self.send_response(200, "Connection established")
        self.end_headers()
        self.close_connection = True
        self.relay(self.connection, upstream)

    @staticmethod
    def relay(client, upstream):
        ends = [client, upstream]
        try:
            while True:
                ready, _, _ = select.select(ends, [], [], 60)
                if not ready:
                    return
                for end in ready:
                    data = end.recv(65536)
                    if not data:
                        return
                    (upstream if end is client else client).sendall(data)
                    STATE.last_activity = time.monotonic()
        except OSError:
            return
        finally:
            upstream.close()

    # -- control -----------------------------------------------------------
    def control(self, verb, query):
        arg = lambda name, default=None: query.get(name, [default])[0]
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        answer = b"ok"
        if verb == "hello":
            answer = HELLO
        elif verb == "features":
            answer = FEATURES
        elif verb == "tls":
            kind = arg("cert", "trusted")
            try:
                CERTIFICATES.context(kind)
            except (AttributeError, ValueError, OSError, subprocess.CalledProcessError,
                    ssl.SSLError) as error:
                self.send_simple(500, str(error).encode())
                return
            with STATE.mutex:
                STATE.certificate = kind
        elif verb == "lock":
            got = STATE.lock(arg("owner", ""), float(arg("wait", "170")))
            answer = b"locked" if got else b"busy"
        elif verb == "unlock":
            STATE.unlock(arg("owner", ""))
            answer = b"unlocked"
        elif verb == "reset":
            STATE.reset()
        elif verb == "root":
            with STATE.mutex:
                STATE.root = arg("path")
        elif verb == "put":
            files = {arg("path"): BytesFile(body)}
            if arg("sign"):
                try:
                    files[arg("path") + ".sig"] = BytesFile(signature(body, arg("sign")))
                except (ValueError, OSError, subprocess.CalledProcessError) as error:
                    self.send_simple(500, str(error).encode())
                    return
            with STATE.mutex:
                STATE.files.update(files)
        elif verb == "image":
            image = PatternFile(int(arg("size")), int(arg("seed", "1")),
                                int(arg("zero_prefix", "0")))
            with STATE.mutex:
                STATE.files[arg("path")] = image
            answer = image.sha256().encode()
        elif verb == "script":
            entry = {name: values[0] for name, values in query.items()}
            entry["times"] = int(entry.get("times", "1"))
            with STATE.mutex:
                STATE.scripts.append(entry)
        elif verb == "slice":
            with STATE.mutex:
                file = STATE.files[arg("path")]
            offset, end = int(arg("offset")), int(arg("offset")) + int(arg("count"))
            parts = []
            while offset < min(end, file.size):
                part = bytes(file.piece(offset, end - offset))
                parts.append(part)
                offset += len(part)
            answer = b"".join(parts)
        elif verb == "log":
            with STATE.mutex:
                answer = "".join(line + "\n" for line in STATE.log).encode()
        elif verb == "quit":
            threading.Thread(target=stop_all, daemon=True).start()
        else:
            self.send_simple(404, b"unknown control")
            return
        self.send_simple(200, answer)

    # -- files -------------------------------------------------------------
    def serve(self, path):
        range_header = self.headers.get("Range")
        with STATE.mutex:
            self.log_request_line(range_header)
            file = STATE.files.get(path)
            root = STATE.root
        if file is None:
            file = folder_file(root, path)
        fault = STATE.take_script(path)
        if "drop" in fault:
            self.abort_connection()
            self.close_connection = True
            return
        challenge = fault.get("challenge")
        if "status" in fault and not (challenge and self.sign_in().endswith(" " + challenge)):
            asks = "Proxy-Authenticate" if fault["status"] == "407" else "WWW-Authenticate"
            self.send_simple(int(fault["status"]), b"scripted answer\n",
                             [(asks, challenge)] if challenge else [])
            return
        if file is None:
            self.send_simple(404, b"not found\n")
            return
        wanted = None if fault.get("ignore_range") else parse_range(range_header, file.size)
        if wanted == "unsatisfiable" and "content_range" not in fault:
            self.send_simple(416, b"", [("Content-Range", "bytes */%d" % file.size)])
            return
        if wanted in (None, "unsatisfiable"):
            start, end, status = 0, file.size - 1, 200
        else:
            (start, end), status = wanted, 206
        headers = []
        if status == 206:
            headers.append(("Content-Range", "bytes %d-%d/%d" % (start, end, file.size)))
        if "content_range" in fault:
            status = 206
            headers = [] if fault["content_range"] == "missing" else [
                ("Content-Range", fault["content_range"])]
        count = end - start + 1 + int(fault.get("extra", "0"))
        if "short" in fault:
            count = min(count, int(fault["short"]))
        else:
            headers.append(("Content-Length", str(count)))
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.send_body(file, start, count, fault)
        self.close_connection = True

    def send_body(self, file, start, count, fault):
        limit = count
        if "cut" in fault:
            limit = min(limit, int(fault["cut"]))
        stall_at = int(fault["stall"]) if "stall" in fault else None
        rate = int(fault.get("rate", "0"))
        sent = 0
        began = time.monotonic()
        try:
            while sent < limit:
                if stall_at is not None and sent >= stall_at:
                    self.wfile.flush()
                    time.sleep(float(fault.get("stall_seconds", "40")))
                    break
                step = limit - sent
                if stall_at is not None:
                    step = min(step, stall_at - sent)
                if rate:
                    step = min(step, max(1, rate // 20))
                offset = start + sent
                piece = file.piece(offset, step) if offset < file.size else b"\x00" * min(step, SEND_PIECE)
                self.wfile.write(piece)
                sent += len(piece)
                if rate:
                    ahead = sent / rate - (time.monotonic() - began)
                    if ahead > 0:
                        time.sleep(ahead)
            self.wfile.flush()
        except OSError:
            pass
        if "cut" in fault or stall_at is not None:
            # Let the client take what was sent before the reset discards it.
            time.sleep(0.3)
            self.abort_connection()

    def abort_connection(self):
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       b"\x01\x00\x00\x00\x00\x00\x00\x00")
            self.connection.close()
        except OSError:
            pass

    def send_simple(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        self.close_connection = True


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, port, scheme):
        self.scheme = scheme
        super().__init__(("127.0.0.1", port), Handler)

    def finish_request(self, request, client_address):
        # The TLS handshake runs on the request's own thread, never in accept().
        if self.scheme == "https":
            try:
                request.settimeout(60)
                tls = CERTIFICATES.context(STATE.certificate)
                request = tls.wrap_socket(request, server_side=True)
            except (OSError, ssl.SSLError):
                return
        super().finish_request(request, client_address)


SERVERS = []


def stop_all():
    for server in SERVERS:
        server.shutdown()


def idle_watch(idle_seconds):
    while True:
        time.sleep(5)
        if time.monotonic() - STATE.last_activity > idle_seconds:
            stop_all()
            return


def daemonize(log_path):
    if os.fork() > 0:
        os._exit(0)
    os.setsid()
    if os.fork() > 0:
        os._exit(0)
    # Let go of every descriptor inherited from the starter (a test runner's
    # pipes would otherwise stay open until the server ends).
    null = os.open(os.devnull, os.O_RDWR)
    out = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644) if log_path else null
    os.dup2(null, 0)
    os.dup2(out, 1)
    os.dup2(out, 2)
    keep = sorted(server.fileno() for server in SERVERS)
    low = 3
    for fd in keep + [65536]:
        os.closerange(low, fd)
        low = fd + 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--https-port", type=int, default=47443)
    parser.add_argument("--http-port", type=int, default=47444)
    parser.add_argument("--cert", help="PEM file holding the server certificate and key")
    parser.add_argument("--daemon", action="store_true")
    parser.add_argument("--log", help="where a daemon writes its errors")
    parser.add_argument("--idle-exit", type=float, default=0,
                        help="exit after this many seconds without a request")
    parser.add_argument("--root", help="serve this folder, as tools/publish-image writes it")
    args = parser.parse_args()
    if args.root:
        STATE.default_root = STATE.root = os.path.abspath(args.root)
    global CERTIFICATES
    try:
        SERVERS.append(Server(args.http_port, "http"))
        if args.cert:
            CERTIFICATES = Certificates(args.cert)
            SERVERS.append(Server(args.https_port, "https"))
    except OSError as error:
        print("update server: %s" % error, file=sys.stderr)
        return 1
    if args.daemon:
        daemonize(args.log)
    if args.idle_exit:
        threading.Thread(target=idle_watch, args=(args.idle_exit,), daemon=True).start()
    threads = [threading.Thread(target=s.serve_forever) for s in SERVERS]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return 0


if __name__ == "__main__":
    sys.exit(main())
