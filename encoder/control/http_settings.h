// Where the status page and the control endpoints listen, and the token that
// opens the control endpoints. Off unless NERKO_HTTP_LISTEN names an address.
#pragma once

#include <gio/gio.h>

#include <optional>
#include <string>
#include <string_view>

#include "encoder/control/encoder_error.h"
#include "encoder/control/gst_ref.h"

namespace nerko {

struct HttpSettings {
  std::string listen;  // as the operator wrote it, for messages
  ObjectRef<GSocketAddress> address = ObjectRef<GSocketAddress>();
  bool loopback = false;
  // NERKO_HTTP_TOKEN; empty: the control endpoints answer 403.
  std::string token;
};

// "host:port" with an IPv4 address or "[IPv6]:port", the port 0 to 65535
// (0: one the system chooses); nullopt for any other text.
std::optional<HttpSettings> parse_http_listen(std::string_view text);

// NERKO_HTTP_LISTEN (unset or empty: no server) and NERKO_HTTP_TOKEN. A
// malformed address is a FatalStop error like any malformed setting; an
// address other than loopback without a token is a set-up error.
Result<std::optional<HttpSettings>> read_http_settings();

}  // namespace nerko
