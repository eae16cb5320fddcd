"""Janus from Debian's package, configured here in a temporary directory:
the HTTP transport and the streaming plugin only, one RTP mountpoint per
row of the bench."""

import json
import pathlib
import subprocess
import time
import urllib.request

LIB = pathlib.Path("/usr/lib/x86_64-linux-gnu/janus")
HTTP_PORT = 8088
ICE_PORTS = "50000-59999"  # the peer connections' ports, clear of the feeds'


def version():
    out = subprocess.run(["janus", "--version"], capture_output=True, text=True).stdout.split()
    return out[out.index("version:") + 2].strip("()") if "version:" in out else "?"


def mountpoint(name, number, video_port, description):
    """A mountpoint fed with VP8 (payload type 96) on video_port and Opus
    (payload type 97) two ports above it: what the encoder sends to
    udp://HOST:video_port."""
    return f"""{name}: {{
	type = "rtp"
	id = {number}
	description = "{description}"
	media = (
		{{
			type = "video"
			mid = "v"
			port = {video_port}
			pt = 96
			codec = "vp8"
		}},
		{{
			type = "audio"
			mid = "a"
			port = {video_port + 2}
			pt = 97
			codec = "opus"
		}}
	)
}}
"""


def plugin_folder(work, kind, library):
    folder = work / kind
    folder.mkdir()
    (folder / library).symlink_to(LIB / kind / library)
    return folder


def write_config(work, mountpoints, interface):
    """The configuration folder for Janus: only what the bench needs."""
    plugins = plugin_folder(work, "plugins", "libjanus_streaming.so")
    transports = plugin_folder(work, "transports", "libjanus_http.so")
    empty = work / "none"
    empty.mkdir()
    (work / "janus.jcfg").write_text(f"""general: {{
	configs_folder = "{work}"
	plugins_folder = "{plugins}"
	transports_folder = "{transports}"
	events_folder = "{empty}"
	loggers_folder = "{empty}"
	debug_level = 4
	session_timeout = 60
}}
media: {{
	ipv6 = false
	rtp_port_range = "{ICE_PORTS}"
}}
nat: {{
	ice_enforce_list = "{interface}"
}}
""")
    (work / "janus.transport.http.jcfg").write_text(f"""general: {{
	base_path = "/janus"
	http = true
	port = {HTTP_PORT}
	ip = "127.0.0.1"
	https = false
}}
admin: {{
	admin_http = false
}}
""")
    (work / "janus.plugin.streaming.jcfg").write_text("general: {\n}\n" + "".join(mountpoints))


class Janus:
    def __init__(self, work, mountpoints, interface):
        write_config(work, mountpoints, interface)
        self.log = work / "janus.log"
        self.process = subprocess.Popen(["janus", "-C", str(work / "janus.jcfg"), "-F", str(work), "-o"],
                                        stdout=open(self.log, "w"), stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL)
        self.url = f"http://127.0.0.1:{HTTP_PORT}/janus"
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"janus ended ({self.process.returncode}); see {self.log}")
            try:
                with urllib.request.urlopen(self.url + "/info", timeout=1) as answer:
                    json.load(answer)
                    return
            except OSError:
                time.sleep(0.2)
        raise RuntimeError(f"janus did not answer in 20 s; see {self.log}")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
