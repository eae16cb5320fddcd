"""Where the latency of the encoder's graph comes from: the identical graph
(bench/encoder-cost's) built here with NERKO_LATENCY_MS's effect on the
decoder's elements (their latency; tsdemux ignoring the PCR, its H.264
declared one frame per buffer; videorate only dropping), played on the live input for a few seconds, then every
element's source pads asked for their latency. Each line is one pad: the
minimum latency upstream of it and what the element itself adds. Run with
Debian's /usr/bin/python3 (python3-gi).

    /usr/bin/python3 latency_breakdown.py SECONDS LATENCY_MS|- GRAPH..."""

import sys
import time

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

TAKES_LATENCY = {"tsdemux", "rtspsrc", "rtpbin", "rtpjitterbuffer", "rtpsrc", "srtsrc", "srtclientsrc",
                 "srtserversrc"}


def declare_whole_frames(_demuxer, pad):
    """As the program does: the demuxer's H.264 without an alignment is
    declared one access unit per buffer, so h264parse holds no frame."""
    def on_event(pad, info):
        event = info.get_event()
        if event.type != Gst.EventType.CAPS:
            return Gst.PadProbeReturn.OK
        caps = event.parse_caps()
        s = caps.get_structure(0)
        if s.get_name() not in ("video/x-h264", "video/x-h265") or s.has_field("alignment") or \
                s.get_string("stream-format") != "byte-stream":
            return Gst.PadProbeReturn.OK
        aligned = caps.copy()
        aligned.set_value("alignment", "au")
        pad.push_event(Gst.Event.new_caps(aligned))
        return Gst.PadProbeReturn.DROP
    pad.add_probe(Gst.PadProbeType.EVENT_DOWNSTREAM, on_event)


def pad_latency(pad):
    query = Gst.Query.new_latency()
    if not pad.query(query):
        return None
    live, minimum, _ = query.parse_latency()
    return minimum if live else None


def upstream_of(element):
    """The largest latency answered at the peers of the element's sink pads."""
    found = None
    for pad in element.sinkpads:
        peer = pad.get_peer()
        if peer:
            latency = pad_latency(peer)
            if latency is not None:
                found = max(found or 0, latency)
    return found


def elements(bin_):
    """Every element inside, at any depth (without gst-python's overrides
    the iterator is not a Python one)."""
    found = []
    iterator = bin_.iterate_recurse()
    while True:
        result, element = iterator.next()
        if result == Gst.IteratorResult.OK:
            found.append(element)
        elif result == Gst.IteratorResult.RESYNC:
            found = []
            iterator.resync()
        else:
            return found


def main():
    seconds, latency_ms, description = float(sys.argv[1]), sys.argv[2], " ".join(sys.argv[3:])
    Gst.init(None)
    pipeline = Gst.parse_launch(description)

    def added(_bin, _sub, element):
        factory = element.get_factory()
        if latency_ms != "-" and factory and factory.get_name() in TAKES_LATENCY:
            element.set_property("latency", int(latency_ms))
        if latency_ms != "-" and factory and factory.get_name() == "tsdemux":
            element.set_property("ignore-pcr", True)
            element.connect("pad-added", declare_whole_frames)
        if latency_ms != "-" and factory and factory.get_name() == "videorate":
            element.set_property("drop-only", True)
    pipeline.connect("deep-element-added", added)
    for element in elements(pipeline):
        added(pipeline, pipeline, element)
    pipeline.set_state(Gst.State.PLAYING)
    bus = pipeline.get_bus()
    ends = time.monotonic() + seconds
    while time.monotonic() < ends:
        message = bus.timed_pop_filtered(100 * Gst.MSECOND, Gst.MessageType.ERROR | Gst.MessageType.LATENCY)
        if message and message.type == Gst.MessageType.ERROR:
            sys.exit(f"error: {message.parse_error()[0].message}")
        if message and message.type == Gst.MessageType.LATENCY:
            pipeline.recalculate_latency()
    query = Gst.Query.new_latency()
    if pipeline.query(query):
        print(f"    pipeline: {query.parse_latency()[1] / Gst.MSECOND:.0f} ms")
    for element in elements(pipeline):
        if isinstance(element, Gst.Bin):
            continue
        below = upstream_of(element)
        for pad in element.srcpads:
            if not pad.get_peer():
                continue
            latency = pad_latency(pad)
            if latency is None:
                continue
            own = latency - (below or 0)
            if own:
                factory = element.get_factory().get_name() if element.get_factory() else "?"
                print(f"    {factory} ({element.get_name()}.{pad.get_name()}): {latency / Gst.MSECOND:.0f} ms, "
                      f"of which its own {own / Gst.MSECOND:.0f} ms")
    pipeline.set_state(Gst.State.NULL)


if __name__ == "__main__":
    main()
