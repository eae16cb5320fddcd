"""Headless Chromium as the gateway's viewer, and the small HTTP server
(standard library only) that serves it watch.html and takes the figures the
page posts back each second."""

import http.server
import json
import os
import pathlib
import signal
import subprocess
import tempfile
import threading
import time
import urllib.parse

HERE = pathlib.Path(__file__).resolve().parent
PAGE_PORT = 8090

FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--autoplay-policy=no-user-gesture-required",
    # Host candidates with their address, not an mDNS name Janus cannot
    # resolve. (Chromium gathers none on 127.0.0.1 all the same: its checks
    # from the any-address reach Janus's host candidate, and Janus learns
    # the browser's address from them as a peer-reflexive candidate.)
    "--disable-features=WebRtcHideLocalIpsWithMdns",
    "--disable-renderer-backgrounding", "--disable-background-timer-throttling",
    "--disable-backgrounding-occluded-windows",
]


class Viewers:
    """What the pages posted, per row: the per-second statistics, the time
    to the first picture and the page's log lines."""

    def __init__(self):
        self.lock = threading.Lock()
        self.rows = {}

    def row(self, name):
        with self.lock:
            return self.rows.setdefault(name, {"stats": [], "first_picture_ms": None, "log": [],
                                               "first_picture_at": None})

    def take(self, name):
        with self.lock:
            return self.rows.get(name)


def serve(viewers):
    page = (HERE / "watch.html").read_bytes()

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            if self.path.split("?")[0] != "/watch.html":
                self.send_error(404)
                return
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(page)))
            self.end_headers()
            self.wfile.write(page)

        def do_POST(self):
            body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", 0))) or b"{}")
            arrived = time.monotonic()
            row = viewers.row(body.get("row", "?"))
            with viewers.lock:
                if self.path == "/stats":
                    row["stats"].append((arrived, body))
                elif self.path == "/first-picture" and row["first_picture_ms"] is None:
                    row["first_picture_ms"] = body.get("ms")
                    row["first_picture_at"] = arrived
                elif self.path == "/log":
                    row["log"].append((arrived, body.get("text", "")))
            self.send_response(204)
            self.end_headers()

    server = http.server.ThreadingHTTPServer(("127.0.0.1", PAGE_PORT), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def chromium_command():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        for folder in os.environ.get("PATH", "").split(os.pathsep):
            if os.access(os.path.join(folder, name), os.X_OK):
                return os.path.join(folder, name)
    return None


def version():
    out = subprocess.run([chromium_command(), "--version"], capture_output=True, text=True).stdout.split()
    return " ".join(out[:2]) if out else "chromium ?"


class Chromium:
    """One headless browser with a profile of its own, watching one row."""

    def __init__(self, row, mountpoint, janus_url, work):
        profile = tempfile.mkdtemp(prefix="chromium-", dir=work)
        url = f"http://127.0.0.1:{PAGE_PORT}/watch.html?" + urllib.parse.urlencode(
            {"row": row, "id": mountpoint, "janus": janus_url})
        self.process = subprocess.Popen([chromium_command(), *FLAGS, f"--user-data-dir={profile}", url],
                                        stdout=subprocess.DEVNULL, stderr=open(pathlib.Path(profile) / "log", "w"),
                                        stdin=subprocess.DEVNULL, start_new_session=True)

    def stop(self):
        # Its own process group: the browser's helpers go with it.
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(self.process.pid, sig)
            except ProcessLookupError:
                break
            try:
                self.process.wait(5)
                time.sleep(0.5)
            except subprocess.TimeoutExpired:
                pass
