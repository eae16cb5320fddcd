#include "encoder/control/http_server.h"

#include <cstring>
#include <string>
#include <variant>

#include "encoder/control/bearer_token.h"
#include "encoder/control/control_requests.h"
#include "encoder/control/status_page.h"

namespace nerko {

struct HttpServer::Route {
  const char *path;
  const char *method;  // a GET route answers HEAD as well
  bool control;
  void (HttpServer::*answer)(SoupServerMessage *, std::string_view);
};

namespace {

// Larger bodies are refused before they are read.
constexpr goffset kLargestBody = 4096;

void respond(SoupServerMessage *message, guint status, const char *type, const std::string &body) {
  soup_server_message_set_status(message, status, nullptr);
  SoupMessageHeaders *headers = soup_server_message_get_response_headers(message);
  soup_message_headers_replace(headers, "Cache-Control", "no-store");
  soup_server_message_set_response(message, type, SOUP_MEMORY_COPY, body.data(), body.size());
}

// A refusal: one line of text saying why.
void refuse(SoupServerMessage *message, guint status, std::string reason) {
  for (char &c : reason)
    if (c == '\n' || c == '\r')
      c = ' ';
  respond(message, status, "text/plain; charset=utf-8", reason + "\n");
}

void respond_json(SoupServerMessage *message, const std::string &json) {
  respond(message, SOUP_STATUS_OK, "application/json", json);
}

std::string client_of(SoupServerMessage *message) {
  const char *host = soup_server_message_get_remote_host(message);
  return host ? host : "an unknown address";
}

// The address actually bound (the port too when the system chose it).
std::string listening_url(SoupServer *server) {
  GSList *listeners = soup_server_get_listeners(server);
  std::string url;
  if (listeners) {
    ObjectRef<GSocketAddress> local(g_socket_get_local_address(G_SOCKET(listeners->data), nullptr));
    if (local) {
      GInetAddress *address = g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(local.get()));
      GStringRef host(g_inet_address_to_string(address));
      const bool v6 = g_inet_address_get_family(address) == G_SOCKET_FAMILY_IPV6;
      url = std::string("http://") + (v6 ? "[" : "") + host.get() + (v6 ? "]" : "") + ":" +
            std::to_string(g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(local.get()))) + "/";
    }
  }
  g_slist_free(listeners);
  return url;
}

bool method_allowed(const HttpServer::Route &route, const char *method) {
  return std::strcmp(method, route.method) == 0 ||
         (std::strcmp(route.method, "GET") == 0 && std::strcmp(method, "HEAD") == 0);
}

std::optional<InputRole> held_role(const std::string &name) {
  if (name == "primary")
    return InputRole::Primary;
  if (name == "backup")
    return InputRole::Backup;
  if (name == "slate")
    return InputRole::Slate;
  return std::nullopt;
}

}  // namespace

const HttpServer::Route *HttpServer::find_route(const char *path) {
  static const Route routes[] = {
      {"/", "GET", false, &HttpServer::status_page},
      {"/api/status", "GET", false, &HttpServer::status_json},
      {"/metrics", "GET", false, &HttpServer::metrics},
      {"/thumbnail.jpg", "GET", false, &HttpServer::thumbnail},
      {"/api/input", "POST", true, &HttpServer::input},
      {"/api/keyframe", "POST", true, &HttpServer::keyframe},
      {"/api/video-bitrate", "POST", true, &HttpServer::video_bitrate},
  };
  for (const Route &route : routes)
    if (std::strcmp(route.path, path) == 0)
      return &route;
  return nullptr;
}

HttpServer::HttpServer(HttpSettings settings, std::FILE *err)
    : settings_(std::move(settings)), err_(err), server_(soup_server_new("server-header", "nerko-encoder ", nullptr)) {}

HttpServer::~HttpServer() {
  // Closes the connections before what the handlers use goes.
  soup_server_disconnect(server_.get());
}

Result<std::unique_ptr<HttpServer>> HttpServer::listen(HttpSettings settings, std::FILE *err) {
  std::unique_ptr<HttpServer> server(new HttpServer(std::move(settings), err));
  GError *raw = nullptr;
  if (!soup_server_listen(server->server_.get(), server->settings_.address.get(), SoupServerListenOptions(0), &raw)) {
    ErrorRef error(raw);
    return EncoderError::library("Cannot listen on NERKO_HTTP_LISTEN " + server->settings_.listen + ": " +
                                 (error ? error->message : "refused"));
  }
  const std::string line = "Status page on " + listening_url(server->server_.get()) + "\n";
  std::fwrite(line.data(), 1, line.size(), err);
  std::fflush(err);
  return server;
}

void HttpServer::serve(std::shared_ptr<ChannelStatus> status, std::shared_ptr<Thumbnail> thumbnail) {
  status_ = std::move(status);
  thumbnail_ = std::move(thumbnail);
  soup_server_add_early_handler(
      server_.get(), nullptr,
      [](SoupServer *, SoupServerMessage *message, const char *path, GHashTable *, gpointer data) {
        static_cast<HttpServer *>(data)->screen(message, path);
      },
      this, nullptr);
  soup_server_add_handler(
      server_.get(), nullptr,
      [](SoupServer *, SoupServerMessage *message, const char *path, GHashTable *, gpointer data) {
        static_cast<HttpServer *>(data)->handle(message, path);
      },
      this, nullptr);
}

void HttpServer::screen(SoupServerMessage *message, const char *path) {
  const Route *route = find_route(path);
  if (!route)
    return refuse(message, SOUP_STATUS_NOT_FOUND, std::string("No such page: ") + path);
  if (!method_allowed(*route, soup_server_message_get_method(message))) {
    soup_message_headers_replace(soup_server_message_get_response_headers(message), "Allow",
                                 std::strcmp(route->method, "GET") == 0 ? "GET, HEAD" : route->method);
    return refuse(message, SOUP_STATUS_METHOD_NOT_ALLOWED, std::string(path) + " takes " + route->method);
  }
  SoupMessageHeaders *headers = soup_server_message_get_request_headers(message);
  const SoupEncoding encoding = soup_message_headers_get_encoding(headers);
  if (encoding == SOUP_ENCODING_CHUNKED || encoding == SOUP_ENCODING_EOF)
    return refuse(message, SOUP_STATUS_LENGTH_REQUIRED, "A body needs a Content-Length");
  if (encoding == SOUP_ENCODING_CONTENT_LENGTH && soup_message_headers_get_content_length(headers) > kLargestBody)
    return refuse(message, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE,
                  "A body may hold " + std::to_string(kLargestBody) + " bytes at most");
  if (!route->control)
    return;
  if (settings_.token.empty())
    return refuse(message, SOUP_STATUS_FORBIDDEN, "Control is off: NERKO_HTTP_TOKEN is not set");
  if (!bearer_token_matches(soup_message_headers_get_one(headers, "Authorization"), settings_.token)) {
    soup_message_headers_replace(soup_server_message_get_response_headers(message), "WWW-Authenticate",
                                 "Bearer realm=\"nerko-encoder\"");
    return refuse(message, SOUP_STATUS_UNAUTHORIZED, "A wrong or missing token");
  }
}

void HttpServer::handle(SoupServerMessage *message, const char *path) {
  // The early handler found the route and let the request through.
  const Route *route = find_route(path);
  if (!route || !status_)
    return refuse(message, SOUP_STATUS_SERVICE_UNAVAILABLE, "Not ready");
  SoupMessageBody *body = soup_server_message_get_request_body(message);
  (this->*(route->answer))(message, body && body->data ? std::string_view(body->data, body->length) : "");
}

void HttpServer::status_page(SoupServerMessage *message, std::string_view) {
  respond(message, SOUP_STATUS_OK, "text/html; charset=utf-8",
          nerko::status_page(status_->snapshot(), status_->channel()));
}

void HttpServer::status_json(SoupServerMessage *message, std::string_view) { respond_json(message, status_->json()); }

void HttpServer::metrics(SoupServerMessage *message, std::string_view) {
  respond(message, SOUP_STATUS_OK, "text/plain; version=0.0.4", status_->metrics());
}

void HttpServer::thumbnail(SoupServerMessage *message, std::string_view) { thumbnail_->answer(message); }

void HttpServer::input(SoupServerMessage *message, std::string_view body) {
  auto request = read_input_request(body);
  if (auto *bad = std::get_if<BadRequest>(&request))
    return refuse(message, SOUP_STATUS_BAD_REQUEST, bad->reason);
  const std::string &name = std::get<std::string>(request);
  InputSupervisor *supervisor = status_->supervisor();
  std::optional<std::string> refusal = supervisor ? supervisor->hold(held_role(name))
                                                  : std::optional<std::string>("input switching needs a backup "
                                                                               "input or a slate");
  if (refusal)
    return refuse(message, SOUP_STATUS_CONFLICT, "Cannot hold " + name + ": " + *refusal);
  report_action(message, name == "auto" ? "input back to the automatic choice" : "input " + name + " held");
  status_->refresh();
  respond_json(message, status_->json());
}

void HttpServer::keyframe(SoupServerMessage *message, std::string_view body) {
  if (std::optional<BadRequest> bad = read_keyframe_request(body))
    return refuse(message, SOUP_STATUS_BAD_REQUEST, bad->reason);
  if (!status_->video().force_key_frame())
    return refuse(message, SOUP_STATUS_CONFLICT, "There is no video encoder yet");
  report_action(message, "key frame");
  respond_json(message, "{\"keyframe\": \"requested\"}\n");
}

void HttpServer::video_bitrate(SoupServerMessage *message, std::string_view body) {
  auto request = read_bitrate_request(body);
  if (auto *bad = std::get_if<BadRequest>(&request))
    return refuse(message, SOUP_STATUS_BAD_REQUEST, bad->reason);
  const int32_t bits_per_second = std::get<int32_t>(request);
  if (!status_->video().set_target_bitrate(bits_per_second))
    return refuse(message, SOUP_STATUS_CONFLICT, "There is no video encoder yet");
  report_action(message, "video bitrate " + std::to_string(bits_per_second));
  respond_json(message, "{\"bits_per_second\": " + std::to_string(bits_per_second) + "}\n");
}

void HttpServer::report_action(SoupServerMessage *message, const std::string &what) {
  const std::string line = "Control from " + client_of(message) + ": " + what + "\n";
  std::fwrite(line.data(), 1, line.size(), err_);
  std::fflush(err_);
}

}  // namespace nerko
