// The status page and the control endpoints over HTTP (NERKO_HTTP_LISTEN),
// served by libsoup on the run's main loop. Every request is answered from
// the main loop without waiting on a streaming thread: the status is the
// last reading, the thumbnail is converted elsewhere, and the control
// actions only set values the streaming threads pick up.
//
//   GET  /                  the status page
//   GET  /api/status        the same as JSON
//   GET  /metrics           the Prometheus exposition
//   GET  /thumbnail.jpg     the picture going into the video encoder
//   POST /api/input         {"input": "primary" | "backup" | "slate" | "auto"}
//   POST /api/keyframe      the next video frame is a key frame
//   POST /api/video-bitrate {"bits_per_second": N}
//
// The POSTs need "Authorization: Bearer <NERKO_HTTP_TOKEN>": 403 without a
// token set, 401 with a wrong or missing one. A body over 4 KiB gets 413
// before it is read, a malformed one 400 with a one-line reason, an unknown
// path 404, a wrong method 405.
#pragma once

#include <libsoup/soup.h>

#include <cstdio>
#include <memory>
#include <string_view>

#include "encoder/control/encoder_error.h"
#include "encoder/control/gst_ref.h"
#include "encoder/control/channel_status.h"
#include "encoder/control/http_settings.h"
#include "encoder/control/thumbnail.h"

namespace nerko {

class HttpServer {
 public:
  // Listens on the settings' address and writes "Status page on
  // http://<address>/" on `err`. An address in use or not the machine's is
  // a set-up error.
  static Result<std::unique_ptr<HttpServer>> listen(HttpSettings settings, std::FILE *err = stderr);
  ~HttpServer();
  HttpServer(const HttpServer &) = delete;
  HttpServer &operator=(const HttpServer &) = delete;

  // Requests are answered from now on (they reach it once the main loop runs).
  void serve(std::shared_ptr<ChannelStatus> status, std::shared_ptr<Thumbnail> thumbnail);

  struct Route;

 private:
  explicit HttpServer(HttpSettings settings, std::FILE *err);
  static const Route *find_route(const char *path);
  // After the headers: refuses what needs no body to be read to refuse.
  void screen(SoupServerMessage *message, const char *path);
  void handle(SoupServerMessage *message, const char *path);

  void status_page(SoupServerMessage *message, std::string_view body);
  void status_json(SoupServerMessage *message, std::string_view body);
  void metrics(SoupServerMessage *message, std::string_view body);
  void thumbnail(SoupServerMessage *message, std::string_view body);
  void input(SoupServerMessage *message, std::string_view body);
  void keyframe(SoupServerMessage *message, std::string_view body);
  void video_bitrate(SoupServerMessage *message, std::string_view body);
  // "Control from <client>: <what>" on standard error.
  void report_action(SoupServerMessage *message, const std::string &what);

  HttpSettings settings_;
  std::FILE *err_;
  Owned<SoupServer, g_object_unref> server_;
  std::shared_ptr<ChannelStatus> status_;
  std::shared_ptr<Thumbnail> thumbnail_;
};

}  // namespace nerko
