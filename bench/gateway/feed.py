"""The feed between a row's encoder and its Janus mountpoint: the encoder
sends to four ports here, which pass the RTP on to the mountpoint's video and
audio ports and count what went by payload type, so the bytes a viewer gets
can be split into VP8, ULPFEC and Opus."""

import selectors
import socket
import threading
import time


def long_picture_id(data):
    """Whether an RTP packet's VP8 payload descriptor carries a 15-bit
    PictureID (X, then I, then M set)."""
    at = 12 + 4 * (data[0] & 0x0F)
    if data[0] & 0x10 and len(data) >= at + 4:
        at += 4 + 4 * int.from_bytes(data[at + 2:at + 4], "big")
    if len(data) < at + 3 or not data[at] & 0x80 or not data[at + 1] & 0x80:
        return False
    return bool(data[at + 2] & 0x80)


class Tap(threading.Thread):
    def __init__(self, listen_base, janus_video_port):
        super().__init__(daemon=True)
        self.sockets = []
        for offset in range(4):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
            s.bind(("127.0.0.1", listen_base + offset))
            s.setblocking(False)
            self.sockets.append(s)
        self.targets = {0: ("127.0.0.1", janus_video_port), 2: ("127.0.0.1", janus_video_port + 2)}
        self.out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.out.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
        self.lock = threading.Lock()
        self.packets = []  # (arrival, offset, payload type, bytes, RTP timestamp, SSRC, 15-bit PictureID)
        self.stopping = threading.Event()

    def run(self):
        selector = selectors.DefaultSelector()
        for offset, s in enumerate(self.sockets):
            selector.register(s, selectors.EVENT_READ, offset)
        while not self.stopping.is_set():
            for key, _ in selector.select(0.1):
                while True:
                    try:
                        data = key.fileobj.recv(65536)
                    except BlockingIOError:
                        break
                    target = self.targets.get(key.data)
                    if target is None or len(data) < 12:
                        continue  # RTCP: drained
                    try:
                        self.out.sendto(data, target)
                    except OSError:
                        pass
                    record = (time.monotonic(), key.data, data[1] & 0x7F, len(data), int.from_bytes(data[4:8], "big"),
                              data[8:12], long_picture_id(data))
                    with self.lock:
                        self.packets.append(record)
        for s in self.sockets:
            s.close()

    def video_seen(self):
        with self.lock:
            return any(p[1] == 0 for p in self.packets)

    def bytes_by_type(self, start, end):
        """{(offset, payload type): (packets, bytes)} between two times."""
        counts = {}
        with self.lock:
            for arrival, offset, pt, size, *_ in self.packets:
                if start <= arrival <= end:
                    n, b = counts.get((offset, pt), (0, 0))
                    counts[(offset, pt)] = (n + 1, b + size)
        return counts

    def opus_steps(self, start, end):
        """{step: count} of the RTP timestamp from one Opus packet to the
        next of the same SSRC (960 for 20 ms at 48 kHz)."""
        steps = {}
        last = {}
        with self.lock:
            for arrival, offset, pt, _, ts, ssrc, _ in self.packets:
                if offset != 2 or not start <= arrival <= end:
                    continue
                if ssrc in last:
                    step = (ts - last[ssrc]) % (1 << 32)
                    steps[step] = steps.get(step, 0) + 1
                last[ssrc] = ts
        return steps

    def picture_ids(self, start, end):
        """(VP8 packets, those with a 15-bit PictureID)."""
        with self.lock:
            vp8 = [p[6] for p in self.packets if p[1] == 0 and p[2] == 96 and start <= p[0] <= end]
        return len(vp8), sum(vp8)

    def stop(self):
        self.stopping.set()
        self.join()
