#include "encoder/graph/udp_sender.h"

#include "encoder/graph/destination.h"
#include "encoder/graph/properties.h"

namespace nerko {

Status configure_udp_sender(GstElement *sender, const std::string &host, int32_t port) {
  if (Status s = set_string_property(sender, "host", host))
    return s;
  if (Status s = set_int_property(sender, "port", port))
    return s;
  if (Status s = set_int_property(sender, "ttl-mc", kMulticastTtl))
    return s;
  // A sender needs no membership of the group it sends to. Joining it only
  // adds a way to fail: with no multicast route yet (link down, booting) the
  // join is refused and the whole run would end, where sending merely fails
  // until the route appears and then goes through.
  if (Status s = set_bool_property(sender, "auto-multicast", false))
    return s;
  // udpsink reads "clients" as host:port up to the first colon, so an IPv6
  // address cannot be written there; "host" and "port" have already made it
  // the one client.
  if (is_ipv6_address(host))
    return std::nullopt;
  return set_string_property(sender, "clients", host + ":" + std::to_string(port));
}

}  // namespace nerko
