#include "udp_sender.h"

#include "properties.h"

namespace nerko {

Status configure_udp_sender(GstElement *sender, const std::string &host, int32_t port) {
  if (Status s = set_string_property(sender, "host", host))
    return s;
  if (Status s = set_int_property(sender, "port", port))
    return s;
  if (Status s = set_int_property(sender, "ttl-mc", kMulticastTtl))
    return s;
  return set_string_property(sender, "clients", host + ":" + std::to_string(port));
}

}  // namespace nerko
