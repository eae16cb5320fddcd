"""Live channels side by side: ours and ffmpeg on the same live UDP MPEG-TS
input, frames per second and delay behind real time per channel."""

import os
import pathlib
import selectors
import struct
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
from benchlib import CACHE, bind_four_ports, free_udp_port, wait_bound  # noqa: E402

LIVE_CLIP = CACHE / "clip-1280x720-25fps-60s-h264-aac.ts"
REAL_TIME_FPS = 24.5
REAL_TIME_BEHIND_S = 1.0


def make_live_clip():
    """60 s (longer than a measurement, so the sender's loop falls outside it) of moving 720p25 H.264 + AAC in MPEG-TS, made once."""
    if LIVE_CLIP.exists():
        return
    CACHE.mkdir(parents=True, exist_ok=True)
    partial = LIVE_CLIP.with_suffix(".partial.ts")
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y",
                    "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25",
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "60",
                    "-c:v", "libx264", "-preset", "veryfast", "-b:v", "4M", "-g", "50", "-pix_fmt", "yuv420p",
                    "-c:a", "aac", "-b:a", "128k", "-ac", "2", "-f", "mpegts", str(partial)], check=True)
    partial.rename(LIVE_CLIP)


def sender(port):
    """ffmpeg paces the clip in a loop as a live MPEG-TS sender would."""
    return subprocess.Popen(["ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-stream_loop", "-1",
                             "-i", str(LIVE_CLIP), "-c", "copy", "-f", "mpegts",
                             f"udp://127.0.0.1:{port}?pkt_size=1316"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)


def zolvane_command(zolvane, threads, port, base, stats):
    """"default": the program's own start of 12 threads, which it may give
    up; "held": the same 12 held for the whole run, as before it could."""
    env = dict(os.environ)
    for name in ("NERKO_VIDEO_THREADS", "NERKO_HOLD_VIDEO_THREADS"):
        env.pop(name, None)
    if threads == "held":
        env["NERKO_HOLD_VIDEO_THREADS"] = "true"
    elif threads != "default":
        env["NERKO_VIDEO_THREADS"] = threads
    return [str(zolvane), "-i", f"udp://127.0.0.1:{port}", f"udp://127.0.0.1:{base}", str(stats)], env


def ffmpeg_command(threads, port, base):
    """libvpx in real time at the program's speed and bitrate; no -threads
    for "default" (ffmpeg's own choice: the host's cores). Each frame is
    encoded once, as ours does: by default ffmpeg repeats frames to a constant
    rate of its own guess."""
    video_threads = [] if threads in ("default", "held") else ["-threads", threads]
    return (["ffmpeg", "-nostdin", "-loglevel", "error",
             "-i", f"udp://127.0.0.1:{port}?fifo_size=1000000&overrun_nonfatal=1",
             "-map", "0:v:0", "-c:v", "libvpx", "-deadline", "realtime", "-cpu-used", "-16",
             "-b:v", "3M", "-g", "30", "-fps_mode", "passthrough", *video_threads, "-f", "rtp", f"rtp://127.0.0.1:{base}",
             "-map", "0:a:0", "-c:a", "libopus", "-b:a", "96k", "-f", "rtp", f"rtp://127.0.0.1:{base + 2}"],
            dict(os.environ))


def cpu_seconds(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except OSError:
        return None


class Channel:
    def __init__(self):
        self.base, self.socks = bind_four_ports()
        self.first_ts = None
        self.floor = None       # least arrival - media time: the channel's own pace
        self.worst = 0.0        # most it fell behind that pace in the window
        self.sent_at = None     # when its sender sent the clip's first frame
        self.source_delay = None  # most a frame in the window came after the sender sent it
        self.frames = set()
        self.cpu_start = None
        self.cpu = None

    def video_packet(self, now, data, window):
        if len(data) < 12 or data[1] & 0x7F != 96:
            return
        (ts,) = struct.unpack_from("!I", data, 4)
        if self.first_ts is None:
            self.first_ts = ts
        elapsed = ((ts - self.first_ts + (1 << 31)) % (1 << 32)) - (1 << 31)
        offset = now - elapsed / 90000
        self.floor = offset if self.floor is None else min(self.floor, offset)
        if window:
            self.frames.add(ts)
            self.worst = max(self.worst, offset - self.floor)
            # The first frame out is the clip's first (a key frame sent once
            # the encoder listened), so the media time says which frame it is.
            delay = offset - self.sent_at
            self.source_delay = delay if self.source_delay is None else max(self.source_delay, delay)

    def close(self):
        for s in self.socks:
            s.close()


def run_channels(program, threads, count, seconds, warm_up, zolvane, logdir):
    """`count` channels of `program` ("zolvane" or "ffmpeg") at once, each on
    its own live sender; per channel frames per second, worst delay behind
    its own pace, cores used, and the program's own warnings."""
    channels = [Channel() for _ in range(count)]
    senders, encoders, logs = [], [], []
    sel = selectors.DefaultSelector()
    for c, channel in enumerate(channels):
        for i in (0, 1, 2, 3):
            sel.register(channel.socks[i], selectors.EVENT_READ, (channel, i))
    try:
        for c, channel in enumerate(channels):
            port = free_udp_port()
            if program == "zolvane":
                command, env = zolvane_command(zolvane, threads, port, channel.base, logdir / f"stats-{c}.txt")
            else:
                command, env = ffmpeg_command(threads, port, channel.base)
            log = logdir / f"{program}-t{threads}-n{count}-c{c}.err"
            logs.append(log)
            with open(log, "wb") as err:
                encoders.append(subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=err,
                                                 stdin=subprocess.DEVNULL))
            wait_bound(port)
            channel.sent_at = time.monotonic()
            senders.append(sender(port))
        start = time.monotonic()
        window_start, window_end = start + warm_up, start + warm_up + seconds
        in_window = False
        while True:
            now = time.monotonic()
            if now >= window_end:
                break
            if not in_window and now >= window_start:
                in_window = True
                for channel, proc in zip(channels, encoders):
                    channel.cpu_start = cpu_seconds(proc.pid)
            for key, _ in sel.select(timeout=0.05):
                channel, index = key.data
                while True:
                    try:
                        data = key.fileobj.recv(65536)
                    except BlockingIOError:
                        break
                    if index == 0:
                        channel.video_packet(time.monotonic(), data, in_window)
        for channel, proc in zip(channels, encoders):
            end = cpu_seconds(proc.pid)
            if channel.cpu_start is not None and end is not None:
                channel.cpu = (end - channel.cpu_start) / seconds
    finally:
        for proc in senders + encoders:
            proc.terminate()
        for proc in senders + encoders:
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        sel.close()
        for channel in channels:
            channel.close()
    rows = []
    for channel, log in zip(channels, logs):
        text = log.read_text(errors="replace")
        rows.append({"fps": len(channel.frames) / seconds, "behind": channel.worst, "cpu": channel.cpu,
                     "source_delay": channel.source_delay,
                     "warnings": text.count("Warning, video is") + text.count("Warning, audio is"),
                     "changes": [l for l in text.splitlines() if l.startswith("Video encoder ")], "log": text})
    return rows


def behind_real_time(row, alone_delay):
    """How far a channel fell behind real time: behind its own best pace, or
    behind the source by more than the same program alone (a channel that
    fell behind and holds a constant delay keeps its own pace)."""
    behind = row["behind"]
    if alone_delay is not None and row["source_delay"] is not None:
        behind = max(behind, row["source_delay"] - alone_delay)
    return behind


def in_real_time(rows, alone_delay):
    return all(r["fps"] >= REAL_TIME_FPS and behind_real_time(r, alone_delay) <= REAL_TIME_BEHIND_S for r in rows)
