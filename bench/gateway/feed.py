"""The feed of a row's mountpoint, watched without standing in its way: the
encoder sends straight to Janus's ports, and a packet socket on the
namespace's loopback device (where all traffic to 127.0.0.1 passes) sees
each RTP packet with the kernel's time of arrival. What went by is counted by
payload type, so the bytes every viewer gets can be split into VP8, ULPFEC
and Opus. The feed's RTCP ports, which Janus leaves unbound, are drained."""

import selectors
import socket
import struct
import threading
import time

ETH_P_ALL = 0x0003
PACKET_OUTGOING = 4
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
# Kernel receive times are the realtime clock's; this moves them onto the
# monotonic clock the rest of the bench uses.
REALTIME_TO_MONOTONIC = time.monotonic() - time.time()


def long_picture_id(data):
    """Whether an RTP packet's VP8 payload descriptor carries a 15-bit
    PictureID (X, then I, then M set)."""
    at = 12 + 4 * (data[0] & 0x0F)
    if data[0] & 0x10 and len(data) >= at + 4:
        at += 4 + 4 * int.from_bytes(data[at + 2:at + 4], "big")
    if len(data) < at + 3 or not data[at] & 0x80 or not data[at + 1] & 0x80:
        return False
    return bool(data[at + 2] & 0x80)


class FeedWatch(threading.Thread):
    def __init__(self, video_port, device="lo"):
        super().__init__(daemon=True)
        self.ports = {video_port: 0, video_port + 2: 2}
        self.sniffer = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        self.sniffer.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 << 20)
        self.sniffer.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sniffer.bind((device, 0))
        self.sniffer.setblocking(False)
        self.drains = []
        for port in (video_port + 1, video_port + 3):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("127.0.0.1", port))
            s.setblocking(False)
            self.drains.append(s)
        self.lock = threading.Lock()
        self.packets = []  # (arrival, offset, payload type, bytes, RTP timestamp, SSRC, 15-bit PictureID)
        self.stopping = threading.Event()

    def run(self):
        selector = selectors.DefaultSelector()
        selector.register(self.sniffer, selectors.EVENT_READ)
        for s in self.drains:
            selector.register(s, selectors.EVENT_READ)
        while not self.stopping.is_set():
            for key, _ in selector.select(0.1):
                while True:
                    try:
                        frame, ancillary, _, address = key.fileobj.recvmsg(65536, 64)
                    except BlockingIOError:
                        break
                    if key.fileobj is self.sniffer and address[2] != PACKET_OUTGOING:
                        self.note(frame, ancillary)
        for s in [self.sniffer, *self.drains]:
            s.close()

    def note(self, frame, ancillary):
        # Ethernet header (all zeros on the loopback device), IPv4, UDP.
        if len(frame) < 14 + 20 + 8 + 12 or frame[12:14] != b"\x08\x00" or frame[14 + 9] != 17:
            return
        at = 14 + (frame[14] & 0x0F) * 4
        offset = self.ports.get(struct.unpack("!H", frame[at + 2:at + 4])[0])
        if offset is None:
            return
        data = frame[at + 8:]
        arrival = time.monotonic()
        for level, kind, value in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(value) >= 16:
                seconds, nanoseconds = struct.unpack("qq", value[:16])
                arrival = seconds + nanoseconds / 1e9 + REALTIME_TO_MONOTONIC
        record = (arrival, offset, data[1] & 0x7F, len(data), int.from_bytes(data[4:8], "big"), data[8:12],
                  offset == 0 and long_picture_id(data))
        with self.lock:
            self.packets.append(record)

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
        """The RTP timestamp steps from one Opus packet to the next of the
        same SSRC (960 for 20 ms at 48 kHz): how many there were, and each
        other step with its time after start."""
        count, odd = 0, []
        last = {}
        with self.lock:
            for arrival, offset, pt, _, ts, ssrc, _ in self.packets:
                if offset != 2 or not start <= arrival <= end:
                    continue
                if ssrc in last:
                    step = (ts - last[ssrc]) % (1 << 32)
                    count += 1
                    if step != 960:
                        odd.append((step if step < 1 << 31 else step - (1 << 32), arrival - start))
                last[ssrc] = ts
        return count, odd

    def opus_lateness(self, start, end):
        """Milliseconds each Opus packet arrived after its RTP time, less the
        least of them over the row (per SSRC): how late against the
        stream's own on-time packets, which a jitter buffer has to cover."""
        streams = {}  # SSRC: [last timestamp, wraps, offsets]
        with self.lock:
            for arrival, offset, _, _, ts, ssrc, _ in self.packets:
                if offset != 2 or not start <= arrival <= end:
                    continue
                stream = streams.setdefault(ssrc, [ts, 0, []])
                if ts < stream[0] and stream[0] - ts > 1 << 31:
                    stream[1] += 1
                stream[0] = ts
                stream[2].append(arrival - (ts + stream[1] * (1 << 32)) / 48000)
        late = []
        for _, _, offsets in streams.values():
            floor = min(offsets)
            late += [(o - floor) * 1000 for o in offsets]
        return late

    def picture_ids(self, start, end):
        """(VP8 packets, those with a 15-bit PictureID)."""
        with self.lock:
            vp8 = [p[6] for p in self.packets if p[1] == 0 and p[2] == 96 and start <= p[0] <= end]
        return len(vp8), sum(vp8)

    def stop(self):
        self.stopping.set()
        self.join()
