"""nginx (Debian's package) serving a published tree on 127.0.0.1, over HTTP
or HTTPS, for the tests and the demo.

It runs in the foreground of its own process with a configuration written
into a private folder, beside its pid file, logs and temporary folders, so
it needs no system service and leaves nothing behind. The configuration is
the one a bank starts from (README, "Serving the tree"), less what only a
public server needs.

    with Nginx(tree_folder) as server:        # tls=(CERT.pem, KEY.pem) for HTTPS
        server.url                            # http://127.0.0.1:PORT
        server.requests()                     # ["GET /VeyrantSettingV2/Version.cfg 200", ...]
"""

import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

HOST = "127.0.0.1"
NGINX = "/usr/sbin/nginx"
START_TIMEOUT = 20

CONFIG = """\
daemon off;
master_process off;
pid {run}/nginx.pid;
error_log {run}/error.log warn;
events {{ worker_connections 64; }}
http {{
    client_body_temp_path {run}/body;
    proxy_temp_path {run}/proxy;
    fastcgi_temp_path {run}/fastcgi;
    uwsgi_temp_path {run}/uwsgi;
    scgi_temp_path {run}/scgi;
    log_format requests '$request_method $uri $status';
    access_log {run}/access.log requests;
    default_type application/octet-stream;
    types {{ }}
    server_tokens off;
    server {{
        listen {host}:{port}{ssl};
{tls}        root {root};
        autoindex off;
        # Names stay across publishes: every answer is checked with the server first.
        add_header Cache-Control "no-cache" always;
        location ~ /\\. {{ return 404; }}
    }}
}}
"""


def free_port():
    with socket.socket() as probe:
        probe.bind((HOST, 0))
        return probe.getsockname()[1]


class Nginx:
    """nginx serving `root` on 127.0.0.1; `tls` is (certificate, key) in PEM."""

    def __init__(self, root, tls=None):
        self.root = Path(root).resolve()
        self.tls = tls
        self.run_dir = None
        self.process = None
        self.port = None

    @property
    def url(self):
        """Root URL, without a trailing slash."""
        return f"{'https' if self.tls else 'http'}://{HOST}:{self.port}"

    def write_config(self, port):
        tls = ""
        if self.tls:
            certificate, key = (Path(p).resolve() for p in self.tls)
            tls = (f"        ssl_certificate {certificate};\n"
                   f"        ssl_certificate_key {key};\n")
        config = self.run_dir / "nginx.conf"
        config.write_text(CONFIG.format(run=self.run_dir, host=HOST, port=port,
                                        ssl=" ssl" if self.tls else "", tls=tls, root=self.root),
                          encoding="utf-8")
        return config

    def start(self):
        self.run_dir = Path(tempfile.mkdtemp(prefix="tovral-nginx-"))
        # Another program may take the free port before nginx binds it: try again.
        for _ in range(5):
            port = free_port()
            config = self.write_config(port)
            self.process = subprocess.Popen(
                [NGINX, "-p", str(self.run_dir), "-e", str(self.run_dir / "error.log"),
                 "-c", str(config)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
            if self.wait_until_listening(port):
                self.port = port
                return self
        log = (self.run_dir / "error.log").read_text(errors="replace")
        self.stop()
        raise RuntimeError(f"nginx did not start:\n{log}")

    def wait_until_listening(self, port):
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False
            try:
                with socket.create_connection((HOST, port), timeout=1):
                    return True
            except OSError:
                time.sleep(0.05)
        self.process.kill()
        self.process.wait()
        return False

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None
        if self.run_dir is not None:
            shutil.rmtree(self.run_dir, ignore_errors=True)
            self.run_dir = None

    def requests(self):
        """The answered requests in order: "METHOD /path STATUS"."""
        log = self.run_dir / "access.log"
        return log.read_text(encoding="utf-8").splitlines() if log.exists() else []

    def paths(self):
        """The paths of the answered requests, without their leading slash."""
        return [line.split()[1].lstrip("/") for line in self.requests()]

    def clear_log(self):
        (self.run_dir / "access.log").write_text("", encoding="utf-8")

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
