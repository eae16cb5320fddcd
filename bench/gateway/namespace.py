"""A network namespace of the bench's own, where 127.0.0.1 belongs to an
ordinary interface.

Janus gathers no ICE candidate on a loopback interface (nor does Chromium
without being told), so a browser on the same host could not reach it over
`lo`. In a namespace made for the run, 127.0.0.1 moves from `lo` to an empty
bridge: still only this host's own address, now on an interface both gather
on. Everything the bench starts runs in there and nothing can leave it."""

import os
import shutil
import subprocess
import sys

INTERFACE = "nerko0"
MARK = "NERKO_GATEWAY_NAMESPACE"


def enter():
    """Runs this script again inside a new network namespace (unless it
    already runs in one), then moves 127.0.0.1 onto the bridge."""
    if os.environ.get(MARK) != "1":
        if os.geteuid() != 0 or not shutil.which("unshare"):
            sys.exit("bench/gateway needs root and unshare (util-linux) for a network namespace of its own")
        os.environ[MARK] = "1"
        os.execvp("unshare", ["unshare", "-n", sys.executable, *sys.argv])
    steps = [
        ["ip", "link", "set", "lo", "up"],
        ["ip", "addr", "del", "127.0.0.1/8", "dev", "lo"],
        ["ip", "link", "add", INTERFACE, "type", "bridge"],
        ["sysctl", "-q", "-w", f"net.ipv6.conf.all.disable_ipv6=1"],
        ["ip", "link", "set", INTERFACE, "up"],
        ["ip", "addr", "add", "127.0.0.1/8", "dev", INTERFACE],
    ]
    for step in steps:
        result = subprocess.run(step, capture_output=True, text=True)
        if result.returncode != 0:
            sys.exit(f"setting up the namespace: {' '.join(step)}: {result.stderr.strip()}")
