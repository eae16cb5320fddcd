#include "encoder/control/thumbnail.h"

#include <gst/video/video.h>

#include <algorithm>
#include <string>
#include <utility>

namespace nerko {
namespace {

constexpr gint64 kFreshUs = 500 * 1000;
// No picture within this much of the request: the encoder gets none.
constexpr guint kPictureLimitMs = 1000;
constexpr int kWidth = 320;

// The picture's shape kept at kWidth wide, square pixels; the converter
// would keep the height as it is.
int thumbnail_height(GstCaps *caps) {
  GstVideoInfo info;
  if (!caps || !gst_video_info_from_caps(&info, caps) || info.width <= 0 || info.par_n <= 0 || info.par_d <= 0)
    return kWidth * 9 / 16;
  const double shape = static_cast<double>(info.height) * info.par_d / (static_cast<double>(info.width) * info.par_n);
  return std::max(2, static_cast<int>(kWidth * shape / 2 + 0.5) * 2);
}

void respond_unavailable(SoupServerMessage *message, const char *reason) {
  soup_server_message_set_status(message, SOUP_STATUS_SERVICE_UNAVAILABLE, nullptr);
  soup_server_message_set_response(message, "text/plain; charset=utf-8", SOUP_MEMORY_COPY, reason,
                                   std::char_traits<char>::length(reason));
}

}  // namespace

Thumbnail::~Thumbnail() {
  if (limit_id_ != 0)
    g_source_remove(limit_id_);
  answer_waiting("The encoder is stopping\n");
}

void Thumbnail::respond(SoupServerMessage *message, GBytes *jpeg) {
  soup_server_message_set_status(message, SOUP_STATUS_OK, nullptr);
  soup_message_headers_replace(soup_server_message_get_response_headers(message), "Cache-Control", "no-store");
  gsize size = 0;
  const void *data = g_bytes_get_data(jpeg, &size);
  soup_server_message_set_response(message, "image/jpeg", SOUP_MEMORY_COPY, static_cast<const char *>(data), size);
}

void Thumbnail::answer(SoupServerMessage *message) {
  const gint64 now = g_get_monotonic_time();
  if (jpeg_ && now - picture_taken_us_ < kFreshUs)
    return respond(message, jpeg_.get());
  if (!video_ || !video_->has_picture())
    return respond_unavailable(message, "No picture has gone into the video encoder yet\n");
  soup_server_message_pause(message);
  const gulong finished_id = g_signal_connect(
      message, "finished", G_CALLBACK(+[](SoupServerMessage *finished, gpointer data) {
        auto &waiting = static_cast<Thumbnail *>(data)->waiting_;
        waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                     [finished](const Waiting &w) { return w.message.get() == finished; }),
                      waiting.end());
      }),
      this);
  waiting_.push_back({ObjectRef<SoupServerMessage>(static_cast<SoupServerMessage *>(g_object_ref(message))),
                      finished_id});
  if (limit_id_ != 0 || converting_)
    return;
  asked_us_ = now;
  video_->want_picture();
  limit_id_ = g_timeout_add(
      kPictureLimitMs,
      [](gpointer data) -> gboolean {
        auto *self = static_cast<Thumbnail *>(data);
        self->limit_id_ = 0;
        self->answer_waiting("No picture went into the video encoder within 1 s\n");
        return G_SOURCE_REMOVE;
      },
      this);
}

void Thumbnail::picture_arrived(SampleRef picture) {
  if (limit_id_ == 0 || converting_)
    return;  // the wait is over already
  g_source_remove(limit_id_);
  limit_id_ = 0;
  converting_ = true;
  picture_taken_us_ = g_get_monotonic_time();
  CapsRef jpeg_caps(gst_caps_new_simple("image/jpeg", "width", G_TYPE_INT, kWidth, "height", G_TYPE_INT,
                                        thumbnail_height(gst_sample_get_caps(picture.get())), "pixel-aspect-ratio",
                                        GST_TYPE_FRACTION, 1, 1, nullptr));
  // The conversion runs in a pipeline of its own; the callback comes back on
  // the main context, unless the thumbnail has gone by then.
  auto *self = new std::weak_ptr<Thumbnail>(weak_from_this());
  gst_video_convert_sample_async(
      picture.get(), jpeg_caps.get(), GST_SECOND,
      [](GstSample *jpeg, GError *error, gpointer data) {
        SampleRef owned(jpeg);
        if (std::shared_ptr<Thumbnail> thumbnail = static_cast<std::weak_ptr<Thumbnail> *>(data)->lock())
          thumbnail->converted(jpeg, error);
      },
      self, [](gpointer data) { delete static_cast<std::weak_ptr<Thumbnail> *>(data); });
}

void Thumbnail::converted(GstSample *jpeg, GError *error) {
  converting_ = false;
  GstBuffer *buffer = jpeg && !error ? gst_sample_get_buffer(jpeg) : nullptr;
  GstMapInfo map;
  if (!buffer || !gst_buffer_map(buffer, &map, GST_MAP_READ))
    return answer_waiting("The picture could not be made into a JPEG\n");
  jpeg_.reset(g_bytes_new(map.data, map.size));
  gst_buffer_unmap(buffer, &map);
  for (const Waiting &waiting : take_waiting()) {
    respond(waiting.message.get(), jpeg_.get());
    soup_server_message_unpause(waiting.message.get());
  }
}

std::vector<Thumbnail::Waiting> Thumbnail::take_waiting() {
  std::vector<Waiting> taken = std::exchange(waiting_, {});
  for (const Waiting &waiting : taken)
    g_signal_handler_disconnect(waiting.message.get(), waiting.finished_id);
  return taken;
}

void Thumbnail::answer_waiting(const char *reason) {
  for (const Waiting &waiting : take_waiting()) {
    respond_unavailable(waiting.message.get(), reason);
    soup_server_message_unpause(waiting.message.get());
  }
}

}  // namespace nerko
