"""The RTSP sender of bench/latency: GStreamer's RTSP server library through
Debian's python3-gi (run it with /usr/bin/python3), serving one shared live
stream at rtsp://127.0.0.1:PORT/live.

    /usr/bin/python3 rtsp_server.py PORT LAUNCH"""

import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402


def main():
    port, launch = sys.argv[1], sys.argv[2]
    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(port)
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(launch)
    factory.set_shared(True)
    # Only over UDP on 127.0.0.1: what an RTSP camera on the same network does.
    factory.set_protocols(GstRtsp.RTSPLowerTrans.UDP)
    server.get_mount_points().add_factory("/live", factory)
    server.attach(None)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
