#include "encoder/control/http_settings.h"

#include "encoder/graph/settings.h"

namespace nerko {

std::optional<HttpSettings> parse_http_listen(std::string_view text) {
  std::string host;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find("]:");
    if (close == std::string_view::npos)
      return std::nullopt;
    host = std::string(text.substr(1, close - 1));
    port = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
      return std::nullopt;
    host = std::string(text.substr(0, colon));
    port = text.substr(colon + 1);
  }
  std::optional<uint32_t> number = parse_uint32(port);
  if (port.empty() || port.front() == '+' || !number || *number > 65535)
    return std::nullopt;
  ObjectRef<GInetAddress> address(g_inet_address_new_from_string(host.c_str()));
  if (!address)
    return std::nullopt;
  // An IPv6 address only in brackets, an IPv4 one never.
  const bool v6 = g_inet_address_get_family(address.get()) == G_SOCKET_FAMILY_IPV6;
  if (v6 != (text.front() == '['))
    return std::nullopt;
  HttpSettings settings;
  settings.listen = std::string(text);
  settings.loopback = g_inet_address_get_is_loopback(address.get());
  settings.address.reset(g_inet_socket_address_new(address.get(), static_cast<guint16>(*number)));
  return settings;
}

Result<std::optional<HttpSettings>> read_http_settings() {
  Result<std::string> listen = read_text_setting("NERKO_HTTP_LISTEN", "");
  if (!listen)
    return listen.error();
  if (listen.value().empty())
    return std::optional<HttpSettings>();
  std::optional<HttpSettings> settings = parse_http_listen(listen.value());
  if (!settings)
    return EncoderError::fatal("NERKO_HTTP_LISTEN must be host:port with an IPv4 address or [IPv6]:port, got \"" +
                               listen.value() + "\"");
  Result<std::string> token = read_text_setting("NERKO_HTTP_TOKEN", "");
  if (!token)
    return token.error();
  settings->token = token.take();
  if (!settings->loopback && settings->token.empty())
    return EncoderError::library("NERKO_HTTP_LISTEN " + settings->listen +
                                 " is not a loopback address: anyone who reaches it could control the channel, "
                                 "so it needs NERKO_HTTP_TOKEN");
  return settings;
}

}  // namespace nerko
