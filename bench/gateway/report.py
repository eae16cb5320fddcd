"""The figures of a row, from what its viewer posted each second and what
went through the feed, printed and written as markdown."""

import statistics

PICTURE_KINDS = ("count", "moving", "black", "flat", "green", "backup")
# The audio's concealed share counts from this many reports after the first
# picture on: the browser's jitter buffer may conceal once while it settles at
# the start, whoever feeds it; that start is reported on its own.
AUDIO_SETTLE_REPORTS = 2
# An Opus packet this much later than the stream's on-time ones counts as
# late: more than a jitter buffer that has settled on a steady stream holds.
LATE_MS = 40


def delta(first, last, kind, field):
    if not first or not last or not first.get(kind) or not last.get(kind):
        return 0
    return last[kind][field] - first[kind][field]


def summarise(row, outcome, viewer):
    result = {"name": row.name, "number": row.number, "env": row.env, "kind": row.kind, "events": row.events}
    if "error" in outcome:
        result["error"] = outcome["error"]
        return result
    viewer = viewer or {"stats": [], "first_picture_ms": None, "log": []}
    result["log"] = [text for _, text in viewer["log"]]
    result["first_picture_ms"] = viewer["first_picture_ms"]
    start, end = outcome["start"], outcome["end"]
    # From the first report after the first picture: the frame rate counts
    # whole seconds of pictures, not the wait for the first key frame.
    inside = [(t, s) for t, s in viewer["stats"] if start <= t <= end + 0.5]
    if len(inside) < 2 or viewer["first_picture_ms"] is None:
        result["error"] = "no picture" + (f" (page: {result['log'][-1]})" if result["log"] else "")
        return result
    base_t, first = inside[0]
    last_t, last = inside[-1]
    span = last_t - base_t
    v = lambda field: delta(first, last, "video", field)  # noqa: E731
    settled = inside[min(AUDIO_SETTLE_REPORTS, len(inside) - 2)][1]
    a = lambda field, since=settled: delta(since, last, "audio", field)  # noqa: E731
    start_total = delta(first, settled, "audio", "totalSamplesReceived")
    result.update({
        "seconds": span,
        "frames": v("framesDecoded"),
        "fps": v("framesDecoded") / span,
        "received": v("framesReceived"),
        "dropped": v("framesDropped"),
        "keyframes": v("keyFramesDecoded"),
        "freezes": v("freezeCount"),
        "freeze_s": v("totalFreezesDuration"),
        "video_lost": v("packetsLost"),
        "nacks": v("nackCount"),
        "plis": v("pliCount"),
        "video_kbps": v("bytesReceived") * 8 / span / 1000,
        "audio_lost": a("packetsLost", first),
        "concealed": 100 * a("concealedSamples") / a("totalSamplesReceived") if a("totalSamplesReceived") else None,
        "concealment_events": a("concealmentEvents"),
        "concealed_at_start": 100 * delta(first, settled, "audio", "concealedSamples") / start_total
        if start_total else None,
        "size": f"{last['video']['frameWidth']}x{last['video']['frameHeight']}" if last.get("video") else "-",
    })
    pictures = {k: 0 for k in PICTURE_KINDS}
    for _, s in inside[1:]:
        for k in PICTURE_KINDS:
            pictures[k] += (s.get("pictures") or {}).get(k, 0)
    result["pictures"] = pictures
    series = [s for _, s in inside]
    result["per_second"] = [
        (b["video"]["framesDecoded"] - p["video"]["framesDecoded"]) if b.get("video") and p.get("video") else 0
        for p, b in zip(series, series[1:])]
    result["per_second_concealed"] = [
        100 * (b["audio"]["concealedSamples"] - p["audio"]["concealedSamples"])
        / max(1, b["audio"]["totalSamplesReceived"] - p["audio"]["totalSamplesReceived"])
        if b.get("audio") and p.get("audio") else 0.0 for p, b in zip(series, series[1:])]
    result["per_second_black"] = [(s.get("pictures") or {}).get("black", 0) for s in series[1:]]
    feed = outcome["feed"]
    feed_span = end - start
    vp8 = feed.get((0, 96), (0, 0))
    fec = [c for (offset, pt), c in feed.items() if offset == 0 and pt != 96]
    fec_bytes = sum(b for _, b in fec)
    opus = feed.get((2, 97), (0, 0))
    result["feed"] = {"vp8_kbps": vp8[1] * 8 / feed_span / 1000, "fec_kbps": fec_bytes * 8 / feed_span / 1000,
                      "opus_kbps": opus[1] * 8 / feed_span / 1000, "vp8_packets": vp8[0],
                      "fec_packets": sum(n for n, _ in fec), "audio_packets": opus[0]}
    result["opus_steps"] = outcome.get("opus_steps", (0, []))
    result["picture_ids"] = outcome.get("picture_ids", (0, 0))
    late = outcome.get("opus_late") or [0.0]
    result["opus_late"] = (sum(1 for x in late if x > LATE_MS), max(late))
    return result


def settings(result):
    if result["kind"] == "ffmpeg":
        return "ffmpeg, libvpx realtime, libopus"
    shown = {k: v for k, v in result["env"].items() if k != "NERKO_BACKUP_INPUT"}
    text = ", ".join(f"{k}={v}" for k, v in shown.items()) or "defaults"
    if "NERKO_BACKUP_INPUT" in result["env"]:
        text = "NERKO_BACKUP_INPUT (live), " + text
    return text


def events_text(result):
    return "; ".join(f"{which} {what} at +{at} s" for at, which, what in result["events"])


def print_row(r):
    if "error" in r:
        print(f"  {r['name']}: {r['error']}")
        return
    p = r["pictures"]
    concealed = f"{r['concealed']:.2f} %" if r["concealed"] is not None else "-"
    if r["concealed_at_start"] is not None:
        concealed += f" from {AUDIO_SETTLE_REPORTS} s on ({r['concealed_at_start']:.2f} % before)"
    print(f"  {r['name']} ({settings(r)}{'; ' + events_text(r) if r['events'] else ''}):")
    print(f"    first picture {r['first_picture_ms']:.0f} ms after the watch request; {r['frames']} frames decoded "
          f"in {r['seconds']:.1f} s = {r['fps']:.1f} fps ({r['size']}), received {r['received']}, dropped "
          f"{r['dropped']}, key frames {r['keyframes']}, freezes {r['freezes']} ({r['freeze_s']:.1f} s)")
    print(f"    video packets lost {r['video_lost']}, NACK {r['nacks']}, PLI {r['plis']}, {r['video_kbps']:.0f} kbit/s "
          f"to the viewer; audio concealed {concealed} in {r['concealment_events']} events, packets lost "
          f"{r['audio_lost']}")
    print(f"    pictures sampled {p['count']}: moving {p['moving']}, black {p['black']}, one colour {p['flat']}, "
          f"green {p['green']}, backup's {p['backup']}")
    f = r["feed"]
    print(f"    feed: VP8 {f['vp8_kbps']:.0f} kbit/s ({f['vp8_packets']} packets), FEC {f['fec_kbps']:.0f} kbit/s "
          f"({f['fec_packets']} packets), Opus {f['opus_kbps']:.0f} kbit/s ({f['audio_packets']} packets)")
    steps, odd = r["opus_steps"]
    packets, with_id = r["picture_ids"]
    print(f"    feed: Opus timestamp steps other than 960: {len(odd)} of {steps}"
          + (f" ({', '.join(f'{step} at +{at:.1f} s' for step, at in odd[:6])})" if odd else "")
          + f"; VP8 packets with a 15-bit PictureID: {with_id} of {packets}; Opus packets more than {LATE_MS} ms "
          f"late: {r['opus_late'][0]} (latest {r['opus_late'][1]:.0f} ms)")
    print(f"    frames per second: {' '.join(str(x) for x in r['per_second'])}")
    if any(r["per_second_black"]):
        print(f"    black pictures per second: {' '.join(str(x) for x in r['per_second_black'])}")
    if any(r["per_second_concealed"]):
        print(f"    audio concealed per second (%): {' '.join(f'{x:.1f}' for x in r['per_second_concealed'])}")
    for line in r["log"]:
        if not line.startswith(("ice ", "answer candidates")):
            print(f"    page: {line}")


def find(results, name):
    return next((r for r in results if r["name"] == name and "error" not in r), None)


def quick_line(results):
    def part(name):
        r = find(results, name)
        if not r:
            return "- fps -% concealed"
        concealed = f"{r['concealed']:.2f}" if r["concealed"] is not None else "-"
        return f"{r['fps']:.1f} fps {concealed}% concealed"
    return f"gateway: zolvane {part('zolvane')}, ffmpeg {part('ffmpeg')}"


def table_lines(results):
    lines = ["| feeder | settings | first picture | frames decoded | frame rate | dropped | freezes | key frames "
             "| video lost / NACK / PLI | audio concealed after 2 s (events; first 2 s) | black pictures "
             "| green pictures | to each viewer: video | of it ULPFEC | Opus steps not 960 | Opus late (latest) |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in results:
        if "error" in r:
            lines.append(f"| {r['name']} | {settings(r)} | {r['error']} |" + " |" * 13)
            continue
        f = r["feed"]
        share = 100 * f["fec_kbps"] / (f["vp8_kbps"] + f["fec_kbps"]) if f["vp8_kbps"] + f["fec_kbps"] else 0
        concealed = (f"{r['concealed']:.2f} % ({r['concealment_events']}; {r['concealed_at_start']:.2f} %)"
                     if r["concealed"] is not None and r["concealed_at_start"] is not None else "-")
        lines.append(
            f"| {r['name']} | {settings(r)}{'; ' + events_text(r) if r['events'] else ''} "
            f"| {r['first_picture_ms'] / 1000:.1f} s | {r['frames']} in {r['seconds']:.0f} s | {r['fps']:.1f} fps "
            f"| {r['dropped']} | {r['freezes']} | {r['keyframes']} | {r['video_lost']} / {r['nacks']} / {r['plis']} "
            f"| {concealed} | {r['pictures']['black']} | {r['pictures']['green']} | {r['video_kbps']:.0f} kbit/s "
            f"| {f['fec_kbps']:.0f} kbit/s ({share:.0f} %) | {len(r['opus_steps'][1])} of {r['opus_steps'][0]} "
            f"| {r['opus_late'][0]} ({r['opus_late'][1]:.0f} ms) |")
    return lines


def write_results(path, results, seconds, machine, commit):
    text = [f"## Through a WebRTC gateway (bench/gateway, at {commit})", "",
            f"{machine}. Janus's streaming plugin, one RTP mountpoint per row, watched by headless Chromium "
            f"through Janus's HTTP API; {seconds} s per row from the first picture; live MPEG-TS input "
            "(640x360 25 fps H.264 + AAC) on 127.0.0.1; one VP8 thread per encoder.", "",
            *table_lines(results), ""]
    keep, failover = find(results, "keep-alive"), find(results, "failover")
    if keep and failover:
        text += [f"Black pictures in the keep-alive row are the time its input was away (the default fill is "
                 f"black); through the failover the browser showed the backup's picture "
                 f"({failover['pictures']['backup']} pictures) and {failover['pictures']['black']} black ones.", ""]
    for r in results:
        if "error" not in r and (r["events"] or r["per_second"] and min(r["per_second"][1:] or [0]) < 20):
            text.append(f"- {r['name']}: frames per second {' '.join(str(x) for x in r['per_second'])}")
            if any(r["per_second_black"]):
                text.append(f"  (black pictures per second {' '.join(str(x) for x in r['per_second_black'])})")
    for r in results:
        if "error" not in r and (r["opus_steps"][1] or any(r["per_second_concealed"][AUDIO_SETTLE_REPORTS:])):
            odd = ", ".join(f"{step} at +{at:.1f} s" for step, at in r["opus_steps"][1][:6])
            text.append(f"- {r['name']}: audio concealed per second (%) "
                        f"{' '.join(f'{x:.1f}' for x in r['per_second_concealed'])}"
                        + (f"; Opus timestamp steps other than 960: {odd}" if odd else ""))
    with open(path, "w") as f:
        f.write("\n".join(text) + "\n")


def write_readme(path, results, snippet, commit):
    default = find(results, "zolvane")
    plain = find(results, "gateway settings")
    lines = ["## Feeding a WebRTC gateway", "",
             f"Tested with Janus 1.1.2 (Debian's `janus`) and Chromium by `bench/gateway/run` at {commit}.", "",
             "A streaming mountpoint for `udp://HOST:5004` (video on 5004, audio on 5006):", "",
             "```", snippet.rstrip(), "```", ""]
    if default and plain:
        f = default["feed"]
        lines += [f"What FEC costs each viewer: Janus passes every packet of the video port to every viewer with "
                  f"the mountpoint's payload type, ULPFEC included, and the browser cannot use them. With the "
                  f"default `NERKO_VIDEO_FEC_PERCENT=100` the feed carried {f['fec_kbps']:.0f} kbit/s of ULPFEC "
                  f"beside {f['vp8_kbps']:.0f} kbit/s of VP8 ({f['fec_packets']} FEC packets to "
                  f"{f['vp8_packets']} VP8 packets); each viewer received {default['video_kbps']:.0f} kbit/s of "
                  f"video, against {plain['video_kbps']:.0f} kbit/s with `NERKO_VIDEO_FEC_PERCENT=0`, at the same "
                  f"{default['fps']:.1f} / {plain['fps']:.1f} fps. Janus keeps what it sent each viewer and "
                  f"resends it on the browser's NACK, so the leg to the browser needs no FEC (on this host nothing "
                  f"was lost: NACK sent {default['nacks']} / {plain['nacks']}, packets lost "
                  f"{default['video_lost']} / {plain['video_lost']}). Recommended for a gateway fed over a clean "
                  f"LAN: `NERKO_VIDEO_FEC_PERCENT=0`.", ""]
        firsts = [r["first_picture_ms"] / 1000 for r in results if "error" not in r and r["kind"] == "zolvane"]
        lines += [f"A viewer who joins waits for the next key frame: the encoder makes one every 30 frames "
                  f"(1.2 s at 25 fps), and the mountpoint above passes no viewer's request for one (PLI) back to "
                  f"the encoder. The first picture "
                  f"came {min(firsts):.1f} to {max(firsts):.1f} s after the watch request here (ICE and DTLS "
                  f"included).", ""]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
