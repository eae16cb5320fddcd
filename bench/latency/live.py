"""The live input of the latency bench and what reads the output back.

Frames: 320x180 grey pictures made here, 25 per second, each carrying its
number as 16 black-or-white blocks in a top band and the same bits inverted in
a second band (a made-up black frame matches neither), above a moving bar that
gives the encoders real work. Each frame goes as one datagram to the sender's
udpsrc, which timestamps it as it arrives.

The MPEG-TS the sender makes passes a relay here on its way to the encoder
under test, which notes when each video PES (one per frame) left: the frame's
send time. The encoder's RTP output lands on four ports here; its VP8 frames
are put together from the packets and noted with the arrival of their last
packet, then written as an IVF file for vp8dec to decode, so the numbers in
the pictures tell which sent frame each one was."""

import collections
import random
import selectors
import socket
import struct
import subprocess
import threading
import time

WIDTH, HEIGHT, FPS = 320, 180, 25
BITS = 16
BAND = 40  # rows per code band
FRAME_BYTES = WIDTH * HEIGHT


SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
# Kernel receive times are the realtime clock's; this moves them onto the
# monotonic clock the frames are timed with.
REALTIME_TO_MONOTONIC = time.monotonic() - time.time()


def kernel_arrival(ancillary):
    """When the kernel received the datagram (so a busy moment of this script
    does not count as a late packet), or now when it does not say."""
    for level, kind, data in ancillary:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(data) >= 16:
            seconds, nanoseconds = struct.unpack("qq", data[:16])
            return seconds + nanoseconds / 1e9 + REALTIME_TO_MONOTONIC
    return time.monotonic()


def frame_picture(n):
    """GRAY8 bytes of frame n."""
    code = n % (1 << BITS)
    block = WIDTH // BITS
    row = bytearray()
    for i in range(BITS):
        row += (b"\xeb" if (code >> (BITS - 1 - i)) & 1 else b"\x10") * block
    inverted = bytes(0xfb - b for b in row)
    bar_at = (n * 8) % WIDTH
    lower = bytearray(b"\x60" * WIDTH)
    lower[bar_at:bar_at + 24] = b"\xc0" * len(lower[bar_at:bar_at + 24])
    stripes = bytes((x * 7 + n * 3) % 200 + 20 for x in range(WIDTH))
    rows_left = HEIGHT - 2 * BAND
    return bytes(row) * BAND + inverted * BAND + (bytes(lower) + stripes) * (rows_left // 2)


def read_code(gray, width, height):
    """The frame number a decoded GRAY8 picture carries, or None when the
    two bands do not agree (made-up frames, a picture not from the sender)."""
    def level(x, y):
        total = 0
        for dy in (-2, 0, 2):
            for dx in (-2, 0, 2):
                total += gray[(y + dy) * width + x + dx]
        return total / 9

    code = 0
    for i in range(BITS):
        x = int((i + 0.5) * width / BITS)
        top = level(x, int(BAND / 2 * height / HEIGHT))
        bottom = level(x, int(BAND * 1.5 * height / HEIGHT))
        if (top > 128) == (bottom > 128) or abs(top - bottom) < 60:
            return None
        code = code << 1 | (top > 128)
    return code


def pes_starts(datagram, pcrs):
    """The PTS (90 kHz, or None) of each video PES starting in a datagram of
    188-byte TS packets; the PCRs met (27 MHz) are appended to `pcrs`."""
    found = []
    for at in range(0, len(datagram) - 187, 188):
        packet = datagram[at:at + 188]
        if packet[0] != 0x47:
            continue
        if packet[3] & 0x20 and packet[4] >= 7 and packet[5] & 0x10:
            p = packet[6:12]
            base = p[0] << 25 | p[1] << 17 | p[2] << 9 | p[3] << 1 | p[4] >> 7
            pcrs.append(base * 300 + ((p[4] & 1) << 8 | p[5]))
        if not packet[1] & 0x40:
            continue
        start = 4
        if packet[3] & 0x20:
            start += 1 + packet[4]
        pes = packet[start:]
        if len(pes) >= 14 and pes[:3] == b"\x00\x00\x01" and 0xE0 <= pes[3] <= 0xEF:
            pts = None
            if pes[7] & 0x80:
                p = pes[9:14]
                pts = ((p[0] >> 1) & 7) << 30 | p[1] << 22 | (p[2] >> 1) << 15 | p[3] << 7 | p[4] >> 1
            found.append((pts, pcrs[-1] if pcrs else None))
    return found


class Hub(threading.Thread):
    """One thread for everything timed: sends the frames on time, relays the
    sender's TS to the encoder under test and records the RTP output."""

    def __init__(self, frame_port, relay_sock, out_socks):
        super().__init__(daemon=True)
        self.frame_port = frame_port
        self.frame_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.frame_sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
        self.relay_sock = relay_sock
        self.out_socks = out_socks
        self.relay_to = None  # the encoder's input port
        self.lock = threading.Lock()
        self.made = {}  # frame number -> time sent to the sender
        self.sent = []  # (time, pts) of each video PES the sender sent
        self.pcrs = []
        self.ahead = []  # ms each video PTS lies ahead of the PCR sent before it
        self.ts_seen = 0.0
        self.frames_on = False
        self.next_n = 0
        self.rtp = {0: [], 2: []}
        self.relay_late = 0  # datagrams the relay held more than 20 ms beyond the jitter it adds
        self.relay_longest = 0.0
        # Network jitter made here: each datagram is held a random 0 to 2
        # jitter_ms (jitter_ms +- jitter_ms), in the order it came, as a
        # network path's queue would.
        self.jitter_ms = 0
        self.held = collections.deque()  # (due, data, arrived, extra)
        self.random = random.Random(28)
        for s in [relay_sock, *out_socks]:
            s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.stop = threading.Event()

    def start_frames(self):
        with self.lock:
            self.sent = []
            self.first_n = self.next_n
            self.t0 = time.monotonic()
            self.frames_on = True

    def stop_frames(self):
        with self.lock:
            self.frames_on = False

    def take_rtp(self):
        with self.lock:
            taken, self.rtp = self.rtp, {0: [], 2: []}
        return taken

    def run(self):
        selector = selectors.DefaultSelector()
        selector.register(self.relay_sock, selectors.EVENT_READ, "relay")
        for offset, s in enumerate(self.out_socks):
            selector.register(s, selectors.EVENT_READ, offset)
        while not self.stop.is_set():
            with self.lock:
                due = self.t0 + (self.next_n - self.first_n) / FPS if self.frames_on else None
            wait = 0.02 if due is None else min(0.02, max(0.0, due - time.monotonic()))
            if self.held:
                wait = min(wait, max(0.0, self.held[0][0] - time.monotonic()))
            events = selector.select(wait)
            now = time.monotonic()
            with self.lock:
                if self.frames_on and now >= self.t0 + (self.next_n - self.first_n) / FPS:
                    n = self.next_n
                    self.next_n += 1
                    self.made[n] = now
                    try:
                        self.frame_sock.sendto(frame_picture(n), ("127.0.0.1", self.frame_port))
                    except OSError:
                        pass
            for key, _ in events:
                while True:
                    try:
                        data, ancillary, _, _ = key.fileobj.recvmsg(65536, 64)
                    except BlockingIOError:
                        break
                    arrived = kernel_arrival(ancillary)
                    if key.data == "relay":
                        if self.relay_to:
                            extra = self.random.uniform(0, 2 * self.jitter_ms) / 1000 if self.jitter_ms else 0.0
                            due = arrived + extra
                            if self.held:
                                due = max(due, self.held[-1][0])
                            self.held.append((due, data, arrived, due - arrived))
                        with self.lock:
                            self.ts_seen = arrived
                            for pts, pcr in pes_starts(data, self.pcrs):
                                self.sent.append((arrived, pts))
                                if pts is not None and pcr is not None:
                                    self.ahead.append(((pts - pcr // 300) % (1 << 33)) / 90)
                            del self.pcrs[:-1]
                    elif key.data in (0, 2) and len(data) >= 12:
                        with self.lock:
                            self.rtp[key.data].append((arrived, data))
            self.release_held()

    def release_held(self):
        """Sends on what the relay holds once it is due."""
        while self.held and self.held[0][0] <= time.monotonic():
            _, data, arrived, extra = self.held.popleft()
            if self.relay_to:
                try:
                    self.relay_sock.sendto(data, ("127.0.0.1", self.relay_to))
                except OSError:
                    pass
            # The relay is in the input's path: its own delays beyond the
            # jitter it adds would count against the encoder.
            held = (time.monotonic() - arrived - extra) * 1000
            if held > 20:
                self.relay_late += 1
            self.relay_longest = max(self.relay_longest, held)


def vp8_frames(packets):
    """[(timestamp, ssrc, arrival of its last packet, frame bytes)] of the
    complete VP8 frames (payload type 96) in arrival order."""
    frames = {}
    order = []
    for arrival, data in packets:
        if data[1] & 0x7F != 96:
            continue
        csrc = data[0] & 0x0F
        seq, ts, ssrc = struct.unpack("!HII", data[2:12])
        at = 12 + 4 * csrc
        if data[0] & 0x10:  # header extension
            length = struct.unpack("!H", data[at + 2:at + 4])[0]
            at += 4 + 4 * length
        payload = data[at:]
        if data[0] & 0x20:  # padding
            payload = payload[:-payload[-1]]
        if not payload:
            continue
        # RFC 7741 payload descriptor.
        d = payload[0]
        i = 1
        if d & 0x80:
            x = payload[i]
            i += 1
            if x & 0x80:
                i += 2 if payload[i] & 0x80 else 1
            if x & 0x40:
                i += 1
            if x & 0x30:
                i += 1
        start = bool(d & 0x10) and (d & 0x0F) == 0
        key = (ssrc, ts)
        if key not in frames:
            frames[key] = {"parts": {}, "start": None, "last": arrival, "end": None}
            order.append(key)
        frame = frames[key]
        frame["parts"][seq] = payload[i:]
        frame["last"] = max(frame["last"], arrival)
        if start:
            frame["start"] = seq
        if data[1] & 0x80:
            frame["end"] = seq
    complete = []
    for key in order:
        f = frames[key]
        if f["start"] is None or f["end"] is None:
            continue
        count = (f["end"] - f["start"]) % 65536 + 1
        seqs = [(f["start"] + k) % 65536 for k in range(count)]
        if any(s not in f["parts"] for s in seqs):
            continue
        complete.append((key[1], key[0], f["last"], b"".join(f["parts"][s] for s in seqs)))
    return complete


def decode_codes(frames, workdir, name):
    """The code of each frame (None where unreadable), decoding from the first
    key frame on; frames before it get None."""
    first_key = next((i for i, f in enumerate(frames) if f[3] and not f[3][0] & 1), None)
    if first_key is None:
        return [None] * len(frames)
    key = frames[first_key][3]
    width = struct.unpack("<H", key[6:8])[0] & 0x3FFF
    height = struct.unpack("<H", key[8:10])[0] & 0x3FFF
    usable = frames[first_key:]
    ivf = workdir / f"{name}.ivf"
    with open(ivf, "wb") as f:
        f.write(b"DKIF" + struct.pack("<HH4sHHIIII", 0, 32, b"VP80", width, height, FPS, 1, len(usable), 0))
        for index, frame in enumerate(usable):
            f.write(struct.pack("<IQ", len(frame[3]), index) + frame[3])
    raw = workdir / f"{name}.gray"
    # Read at half the sender's size: the blocks stay ten pixels wide, and ten
    # minutes of pictures stay a few hundred megabytes.
    width, height = WIDTH // 2, HEIGHT // 2
    subprocess.run(["gst-launch-1.0", "-q", "filesrc", f"location={ivf}", "!", "ivfparse", "!", "vp8dec", "!",
                    "videoconvert", "!", "videoscale", "!", f"video/x-raw,format=GRAY8,width={width},height={height}",
                    "!", "filesink", f"location={raw}"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    data = raw.read_bytes()
    stride = (width + 3) // 4 * 4
    size = stride * height
    decoded = len(data) // size
    if decoded != len(usable):
        raise RuntimeError(f"{name}: vp8dec gave {decoded} pictures for {len(usable)} frames")
    codes = [None] * first_key
    for index in range(decoded):
        picture = data[index * size:(index + 1) * size]
        codes.append(read_code(picture, stride, height) if stride == width else
                     read_code(b"".join(picture[r * stride:r * stride + width] for r in range(height)), width, height))
    raw.unlink()
    ivf.unlink()
    return codes
