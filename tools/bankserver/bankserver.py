#!/usr/bin/env python3
"""The local bank server: serves a folder tree over HTTP on 127.0.0.1 for the
tests, the demo and the benchmarks.

Per-path rules make it misbehave on purpose: a 404 page, an empty body, a body
cut off part-way, a slow body, or a fixed status and body. Every request is
logged so that tests can count what reached the server.

In-process use:

    with BankServer(root) as server:            # or server.start() ... server.stop()
        server.set_rule("VeyrantSettingV2/Version.cfg", "truncate", after=100)
        fetch(server.url + "/VeyrantSettingV2/Version.cfg")
        assert server.count("VeyrantSettingV2/Version.cfg") == 1

Command line:

    bankserver.py --root DIR [--port N] [--port-file F] [--rules RULES.json] [--verbose]
                  [--tls CERT.pem KEY.pem]

prints its root URL and serves until SIGTERM or SIGINT. The rules file maps
paths to rules, e.g. {"a/b.cab": {"kind": "slow", "chunk": 1024, "delay": 0.2}};
it is read again whenever it changes.
"""

import argparse
import html
import json
import mimetypes
import os
import signal
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

HOST = "127.0.0.1"
STREAM_BLOCK = 64 * 1024
RULE_KINDS = ("not_found", "empty", "truncate", "slow", "fixed", "endless")
# An endless body stops here at the latest, should a client never give up.
ENDLESS_LIMIT = 1 << 30


def normalize_path(path):
    """The key a request path is logged and matched under: no query or fragment,
    percent-decoded, forward slashes, no leading or doubled slashes."""
    path = urllib.parse.urlsplit(path).path if "://" in path else path.split("?", 1)[0]
    path = urllib.parse.unquote(path.split("#", 1)[0]).replace("\\", "/")
    return "/".join(part for part in path.split("/") if part)


def _match_key(path):
    # Rules and counts match paths without regard to case, as files are found.
    return normalize_path(path).lower()


def not_found_page(path):
    """The body of every 404 answer (never empty: clients store it as the file)."""
    return ("<html><head><title>404 Not Found</title></head><body>\n"
            f"<h1>Not Found</h1><p>{html.escape(path)} is not on this server.</p>\n"
            "</body></html>\n").encode("utf-8")


@dataclass(frozen=True)
class Rule:
    """How the server answers one path.

    kind: "not_found" (404 page), "empty" (200 with no body), "truncate"
    (declares the whole length, sends `after` bytes, then closes; `abort`
    resets the connection instead of closing it), "slow" (`chunk` bytes, then
    a pause of `delay` seconds, until done), "fixed" (`status` and `body`),
    "endless" (200 without a length, zero bytes until the client goes away).
    truncate and slow send `body` when given, else the file. `headers` are
    sent besides the server's own. `times` limits how many requests the rule
    answers before it lapses (None: no limit).
    """

    kind: str
    after: int | None = None
    abort: bool = False
    chunk: int = 4096
    delay: float = 0.1
    status: int = 200
    body: bytes | None = None
    content_type: str = "text/html; charset=utf-8"
    headers: tuple = ()  # (name, value) pairs; a dict is taken too
    times: int | None = None

    def __post_init__(self):
        if self.kind not in RULE_KINDS:
            raise ValueError(f"unknown rule kind {self.kind!r} (one of {', '.join(RULE_KINDS)})")
        if isinstance(self.body, str):
            object.__setattr__(self, "body", self.body.encode("utf-8"))
        if isinstance(self.headers, dict):
            object.__setattr__(self, "headers", tuple(self.headers.items()))
        if self.chunk <= 0 or self.delay < 0 or (self.after is not None and self.after < 0):
            raise ValueError("chunk must be positive, delay and after not negative")

    @classmethod
    def from_dict(cls, fields):
        return cls(**fields)


@dataclass(frozen=True)
class RequestRecord:
    """One request as it reached the server."""

    method: str
    path: str  # as sent on the request line
    version: str
    headers: tuple  # (name, value) pairs in the order sent

    @property
    def key(self):
        return normalize_path(self.path)

    def header(self, name, default=None):
        """First value of a header, name compared without regard to case."""
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return default


class BankServer:
    """The server on 127.0.0.1 and a port of its own choosing (or `port`)."""

    def __init__(self, root, port=0, rules_file=None, verbose=False, tls=None):
        """`tls`: (certificate file, key file) in PEM to serve HTTPS instead of HTTP."""
        self.root = Path(root).resolve()
        self._tls = tls
        self.verbose = verbose
        self._port = port
        self._lock = threading.Lock()
        self._rules = {}  # key -> [Rule, answers left or None]
        self._log = []
        self._rules_file = Path(rules_file) if rules_file else None
        self._rules_stamp = None
        self._httpd = None
        self._thread = None
        if self._rules_file:
            self._reload_rules_file()

    # --- life cycle -------------------------------------------------------

    def start(self):
        self._httpd = ThreadingHTTPServer((HOST, self._port), _Handler)
        if self._tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*map(str, self._tls))
            self._httpd.socket = context.wrap_socket(self._httpd.socket, server_side=True)
        self._httpd.daemon_threads = True
        self._httpd.bank = self
        self._thread = threading.Thread(target=self._httpd.serve_forever,
                                        kwargs={"poll_interval": 0.1}, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
            self._thread.join()
            self._httpd = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def port(self):
        return self._httpd.server_address[1]

    @property
    def url(self):
        """Root URL, without a trailing slash."""
        return f"{'https' if self._tls else 'http'}://{HOST}:{self.port}"

    # --- rules --------------------------------------------------------------

    def set_rule(self, path, rule, **options):
        """Answers `path` by `rule` (a Rule, or a kind with the Rule's options)."""
        if not isinstance(rule, Rule):
            rule = Rule(rule, **options)
        with self._lock:
            self._rules[_match_key(path)] = [rule, rule.times]

    def clear_rule(self, path):
        with self._lock:
            self._rules.pop(_match_key(path), None)

    def clear_rules(self):
        with self._lock:
            self._rules.clear()

    def load_rules(self, rules_file):
        """Adds the rules of a JSON file: {"path": {"kind": ..., option: value}}."""
        for path, fields in _read_rules_file(rules_file).items():
            self.set_rule(path, Rule.from_dict(fields))

    def _reload_rules_file(self):
        try:
            info = self._rules_file.stat()
            stamp = (info.st_mtime_ns, info.st_size)
        except OSError:
            stamp = None
        if stamp == self._rules_stamp:
            return
        fields = _read_rules_file(self._rules_file) if stamp is not None else {}
        rules = {_match_key(path): Rule.from_dict(f) for path, f in fields.items()}
        with self._lock:
            self._rules = {key: [rule, rule.times] for key, rule in rules.items()}
            self._rules_stamp = stamp

    def _take_rule(self, path):
        """The rule answering a request for `path`, counting it against `times`."""
        if self._rules_file:
            try:
                self._reload_rules_file()
            except (OSError, ValueError, TypeError) as error:
                print(f"bankserver: rules file ignored: {error}", file=sys.stderr)
        with self._lock:
            entry = self._rules.get(_match_key(path))
            if entry is None:
                return None
            rule, left = entry
            if left is not None:
                if left <= 0:
                    return None
                entry[1] = left - 1
            return rule

    # --- request log ----------------------------------------------------------

    @property
    def requests(self):
        """A snapshot of the request log, oldest first."""
        with self._lock:
            return list(self._log)

    def count(self, path, method=None):
        """How many requests for `path` (any case, any query) reached the server."""
        key = _match_key(path)
        return sum(1 for r in self.requests
                   if _match_key(r.path) == key and (method is None or r.method == method))

    def clear_log(self):
        with self._lock:
            self._log.clear()

    def _record(self, record):
        with self._lock:
            self._log.append(record)
        if self.verbose:
            print(f"bankserver: {record.method} {record.path}", file=sys.stderr, flush=True)

    # --- files ------------------------------------------------------------------

    def resolve(self, key):
        """The file under the root for a path key, or None. Names match without
        regard to case when there is no exact match, as on the bank's Windows
        server; nothing outside the root is ever served."""
        current = self.root
        for part in key.split("/") if key else []:
            if part in (".", ".."):
                return None
            candidate = current / part
            if not candidate.exists() and current.is_dir():
                lowered = part.lower()
                matches = [c for c in current.iterdir() if c.name.lower() == lowered]
                candidate = matches[0] if matches else candidate
            current = candidate
        try:
            current.resolve().relative_to(self.root)
        except ValueError:
            return None
        return current if current.is_file() else None


def _read_rules_file(rules_file):
    rules = json.loads(Path(rules_file).read_text(encoding="utf-8"))
    if not isinstance(rules, dict) or not all(isinstance(f, dict) for f in rules.values()):
        raise ValueError(f"{rules_file}: expected an object of path -> rule objects")
    return rules


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive for 1.1 clients; 1.0 clients get a close
    server_version = "BankServer/1.0"
    # As a production web server does on keep-alive connections: without it a
    # small body sent after its headers waits for the client's delayed ACK.
    disable_nagle_algorithm = True

    def do_GET(self):
        self._answer(send_body=True)

    def do_HEAD(self):
        self._answer(send_body=False)

    def log_message(self, format, *args):
        pass  # the request log replaces the default stderr lines

    def _answer(self, send_body):
        bank = self.server.bank
        bank._record(RequestRecord(self.command, self.path, self.request_version,
                                   tuple(self.headers.items())))
        key = normalize_path(self.path)
        rule = bank._take_rule(self.path)
        try:
            if rule is None:
                self._serve_file(bank.resolve(key), send_body)
            elif rule.kind == "not_found":
                self._send_bytes(404, not_found_page(self.path), send_body, rule=rule)
            elif rule.kind == "empty":
                self._send_bytes(200, b"", send_body, "application/octet-stream", rule)
            elif rule.kind == "endless":
                self._send_endless(send_body)
            elif rule.kind == "fixed":
                self._send_bytes(rule.status, rule.body or b"", send_body, rule.content_type,
                                 rule)
            else:
                self._send_misbehaving(rule, bank.resolve(key), send_body)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True  # the client went away; nothing to tell it

    def _send_head(self, status, length, content_type, rule=None):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(length))
        for name, value in rule.headers if rule else ():
            self.send_header(name, value)
        self.end_headers()

    def _send_bytes(self, status, body, send_body, content_type="text/html; charset=utf-8",
                    rule=None):
        self._send_head(status, len(body), content_type, rule)
        if send_body:
            self.wfile.write(body)

    def _send_endless(self, send_body):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Connection", "close")  # no length: the body ends with the connection
        self.end_headers()
        self.close_connection = True
        block = bytes(STREAM_BLOCK)
        sent = 0
        while send_body and sent < ENDLESS_LIMIT:
            self.wfile.write(block)
            sent += len(block)

    def _serve_file(self, path, send_body):
        if path is None:
            self._send_bytes(404, not_found_page(self.path), send_body)
            return
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            self._send_head(200, size, _content_type(path))
            if send_body and size:
                self.connection.sendfile(f)  # streamed by the kernel, never held in memory

    def _send_misbehaving(self, rule, path, send_body):
        if rule.body is None and path is None:
            self._send_bytes(404, not_found_page(self.path), send_body)
            return
        with _open_body(rule, path) as body:
            size = body.size
            if rule.kind == "truncate":
                sent = min(size // 2 if rule.after is None else rule.after, max(size - 1, 0))
                declared = max(size, sent + 1)
            else:
                sent = declared = size
            self._send_head(200, declared, _content_type(path) if rule.body is None
                            else rule.content_type, rule)
            if not send_body:
                return
            block = rule.chunk if rule.kind == "slow" else STREAM_BLOCK
            left = sent
            while left > 0:
                if rule.kind == "slow":
                    time.sleep(rule.delay)
                data = body.read(min(block, left))
                if not data:
                    break
                self.wfile.write(data)
                left -= len(data)
            if rule.kind == "truncate":
                self._cut_connection(rule.abort)

    def _cut_connection(self, abort):
        self.close_connection = True
        if abort:
            time.sleep(0.2)  # let the client take the bytes sent; a reset discards unread ones
            # A zero linger time makes close() send a reset instead of a clean end.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.connection.close()


class _open_body:
    """The body of a misbehaving answer: the rule's bytes, else the file, read in blocks."""

    def __init__(self, rule, path):
        self._bytes = rule.body
        self._path = path
        self._file = None
        self._offset = 0

    def __enter__(self):
        if self._bytes is None:
            self._file = open(self._path, "rb")
            self.size = os.fstat(self._file.fileno()).st_size
        else:
            self.size = len(self._bytes)
        return self

    def read(self, count):
        if self._file is not None:
            return self._file.read(count)
        data = self._bytes[self._offset:self._offset + count]
        self._offset += len(data)
        return data

    def __exit__(self, *exc):
        if self._file is not None:
            self._file.close()


def _content_type(path):
    guessed = mimetypes.guess_type(path.name)[0] if path is not None else None
    return guessed or "application/octet-stream"


def _write_port_file(port_file, port):
    # Written whole under a temporary name first, so a reader never sees half of it.
    port_file = Path(port_file)
    temporary = port_file.with_name(port_file.name + ".tmp")
    temporary.write_text(f"{port}\n", encoding="ascii")
    os.replace(temporary, port_file)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Serves a folder on 127.0.0.1 for the tests.")
    parser.add_argument("--root", required=True, help="folder to serve")
    parser.add_argument("--port", type=int, default=0, help="port (default: any free one)")
    parser.add_argument("--port-file", help="file to write the chosen port into")
    parser.add_argument("--rules", help="JSON file of path -> rule, read again when changed")
    parser.add_argument("--verbose", action="store_true", help="print each request to stderr")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"), help="serve HTTPS with these PEM files")
    args = parser.parse_args(argv)
    if not Path(args.root).is_dir():
        parser.error(f"--root {args.root} is not a folder")

    server = BankServer(args.root, port=args.port, rules_file=args.rules, verbose=args.verbose,
                        tls=args.tls)
    stopping = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stopping.set())
    server.start()
    if args.port_file:
        _write_port_file(args.port_file, server.port)
    print(server.url, flush=True)
    while not stopping.wait(0.5):
        pass
    server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
