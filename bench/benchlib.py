"""Helpers the bench scripts share: building what they run, the cached 720p30
clip, ports to send to, and naming the machine their figures come from."""

import os
import pathlib
import platform
import socket
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
CACHE = ROOT / "bench" / ".cache"
# 20 s of 1280x720 30 fps H.264 + AAC stereo, the channel every encoder benchmark streams.
CLIP = CACHE / "clip-1280x720-30fps-20s-h264-aac.mp4"


def build_targets(build_dir, targets):
    """Configures the build directory on first use and builds the targets,
    two jobs at most (the machines these run on are small and shared)."""
    build_dir = pathlib.Path(build_dir)
    if not (build_dir / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir),
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DBUILD_TESTING=OFF"],
                       check=True, stdout=subprocess.DEVNULL)
    result = subprocess.run(["cmake", "--build", str(build_dir), "-j2", "--target", *targets],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        sys.stdout.write(result.stdout)
        sys.exit(f"building {' '.join(targets)} in {build_dir} failed")


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def gstreamer_version():
    try:
        out = subprocess.run(["gst-launch-1.0", "--version"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("GStreamer "):
                return line.split()[1]
    except OSError:
        pass
    return "unknown"


def machine_summary():
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return (f"machine: {os.cpu_count()} CPUs ({cpu_model()}), kernel {platform.release()}, "
            f"GStreamer {gstreamer_version()}, load average {load}")


def aac_encoder():
    """The first AAC encoder this GStreamer has, in order of preference."""
    for factory in ("fdkaacenc", "avenc_aac", "voaacenc"):
        if subprocess.run(["gst-inspect-1.0", "--exists", factory]).returncode == 0:
            return factory
    sys.exit("no AAC encoder (fdkaacenc, avenc_aac, voaacenc) is installed")


def make_clip():
    """Generates the clip once; later runs reuse the cached file."""
    if CLIP.exists():
        return
    CACHE.mkdir(parents=True, exist_ok=True)
    partial = CLIP.with_suffix(".partial.mp4")
    # A moving picture so the encoder has real work on every frame.
    pipeline = (
        "videotestsrc num-buffers=600 pattern=smpte horizontal-speed=4 "
        "! video/x-raw,width=1280,height=720,framerate=30/1 "
        "! x264enc speed-preset=veryfast bitrate=4000 key-int-max=60 "
        "! h264parse ! queue ! mp4mux name=mux ! filesink location=" + str(partial) + " "
        "audiotestsrc num-buffers=1000 samplesperbuffer=960 wave=sine freq=440 "
        "! audio/x-raw,rate=48000,channels=2 ! " + aac_encoder() + " "
        "! aacparse ! queue ! mux."
    )
    print(f"Generating {CLIP.name} (once) ...", flush=True)
    subprocess.run(["gst-launch-1.0", "-q", "-e", *pipeline.split()], check=True)
    partial.rename(CLIP)


def bind_four_ports():
    """Four consecutive free UDP ports on 127.0.0.1 (one channel's block),
    bound by us so the packets land somewhere and can be timed."""
    for _ in range(200):
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.bind(("127.0.0.1", 0))
        base = probe.getsockname()[1]
        probe.close()
        if base > 65000 or base % 2:
            continue
        socks = []
        try:
            for i in range(4):
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
                s.bind(("127.0.0.1", base + i))
                s.setblocking(False)
                socks.append(s)
            return base, socks
        except OSError:
            for s in socks:
                s.close()
    sys.exit("could not find four consecutive free UDP ports on 127.0.0.1")


def free_udp_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_bound(port):
    """Until a socket is bound to the UDP port: whoever bound it gets every
    datagram from then on."""
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        with open("/proc/net/udp") as f:
            if any(line.split()[1].endswith(f":{port:04X}") for line in list(f)[1:]):
                return
        time.sleep(0.02)
    sys.exit(f"nothing bound UDP port {port} in 20 s")
