// One UDP sender of an RTP session.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <string>

#include "encoder/control/encoder_error.h"

namespace nerko {

// Multicast TTL of every sender, so the stream crosses a few routers.
inline constexpr int32_t kMulticastTtl = 64;

// Points `sender` (a udpsink) at host:port: "host", "port", "ttl-mc", no
// joining of a multicast destination ("auto-multicast" off) and a client list
// of that one destination, in this order (an IPv6 host has no client list
// written: host and port make it the only client). Stops at the first property that
// refuses its value.
Status configure_udp_sender(GstElement *sender, const std::string &host, int32_t port);

}  // namespace nerko
