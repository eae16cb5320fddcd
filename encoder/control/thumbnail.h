// /thumbnail.jpg: the picture going into the video encoder, as a JPEG 320
// pixels wide. Made on request: the encoder tap hands over the next picture,
// GStreamer converts it off the main thread, and every request waiting
// meanwhile gets the same JPEG. A JPEG younger than 500 ms answers at once,
// so any number of viewers costs at most two conversions a second.
#pragma once

#include <libsoup/soup.h>

#include <memory>
#include <vector>

#include "encoder/control/gst_ref.h"
#include "encoder/graph/video_encoder_tap.h"

namespace nerko {

class Thumbnail : public std::enable_shared_from_this<Thumbnail> {
 public:
  Thumbnail() = default;
  ~Thumbnail();
  Thumbnail(const Thumbnail &) = delete;
  Thumbnail &operator=(const Thumbnail &) = delete;

  // Set once, before the pipeline plays.
  void watch(std::shared_ptr<VideoEncoderTap> video) { video_ = std::move(video); }
  // For the tap, on the main context.
  void picture_arrived(SampleRef picture);

  // Answers at once (503 before the first picture) or pauses `message`
  // until the JPEG is made; 503 when no picture comes within 1 s.
  void answer(SoupServerMessage *message);

 private:
  void converted(GstSample *jpeg, GError *error);
  void answer_waiting(const char *reason);
  static void respond(SoupServerMessage *message, GBytes *jpeg);

  std::shared_ptr<VideoEncoderTap> video_;
  // A paused request and its "finished" handler, which forgets it when its
  // client goes away first.
  struct Waiting {
    ObjectRef<SoupServerMessage> message;
    gulong finished_id;
  };
  std::vector<Waiting> take_waiting();

  std::vector<Waiting> waiting_;
  Owned<GBytes, g_bytes_unref> jpeg_;
  gint64 picture_taken_us_ = 0;  // when the JPEG's picture went into the encoder
  gint64 asked_us_ = 0;
  guint limit_id_ = 0;
  bool converting_ = false;
};

}  // namespace nerko
