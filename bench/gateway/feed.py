"""The feed between a row's encoder and its Janus mountpoint: the encoder
sends to four ports here, which pass the RTP on to the mountpoint's video and
audio ports and count what went by payload type, so the bytes a viewer gets
can be split into VP8, ULPFEC and Opus."""

import selectors
import socket
import threading
import time


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
        self.packets = []  # (arrival, offset, payload type, bytes)
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
                    with self.lock:
                        self.packets.append((time.monotonic(), key.data, data[1] & 0x7F, len(data)))
        for s in self.sockets:
            s.close()

    def video_seen(self):
        with self.lock:
            return any(offset == 0 for _, offset, _, _ in self.packets)

    def bytes_by_type(self, start, end):
        """{(offset, payload type): (packets, bytes)} between two times."""
        counts = {}
        with self.lock:
            for arrival, offset, pt, size in self.packets:
                if start <= arrival <= end:
                    n, b = counts.get((offset, pt), (0, 0))
                    counts[(offset, pt)] = (n + 1, b + size)
        return counts

    def stop(self):
        self.stopping.set()
        self.join()
