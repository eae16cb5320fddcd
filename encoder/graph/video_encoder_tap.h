// The run's hold on its video encoder, for the operator's control and the
// status page's thumbnail. The encoder is found when the video branch adds
// it; from then on a probe on its sink pad, on the streaming thread that
// feeds it, applies a new target bitrate or thread count between two frames
// (so nobody waits for a frame being encoded) and hands out the picture going
// in when one is wanted. While nothing is wanted the probe only reads atomics.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "encoder/control/gst_ref.h"

namespace nerko {

class VideoEncoderTap {
 public:
  // Called on the main context with the picture (buffer and caps) that was
  // going into the encoder.
  using PictureHandler = std::function<void(SampleRef)>;

  // Watches `pipeline` for its video encoder from now on; `on_picture` gets
  // every picture asked for with want_picture().
  VideoEncoderTap(GstElement *pipeline, PictureHandler on_picture);
  ~VideoEncoderTap();
  VideoEncoderTap(const VideoEncoderTap &) = delete;
  VideoEncoderTap &operator=(const VideoEncoderTap &) = delete;

  // A picture has gone into the encoder.
  bool has_picture() const;
  // The next picture going into the encoder goes to the handler.
  void want_picture();
  // The next frame the encoder makes is a key frame; false without an encoder.
  bool force_key_frame();
  // The encoder's "target-bitrate" from the next frame on; false without an encoder.
  bool set_target_bitrate(int32_t bits_per_second);
  // The target the encoder works with, once a frame has gone in.
  std::optional<int32_t> target_bitrate() const;
  // The encoder's "threads" from the next frame on, which starts its
  // encoding afresh with a key frame; an encoder added later gets the same
  // count. False without an encoder.
  bool set_threads(uint32_t threads);
  // Frames queued in front of the encoder; nullopt without an encoder.
  std::optional<uint32_t> frames_waiting() const;

  // Shared with the probe and the signal handler, which may outlive a call.
  struct State {
    std::atomic<GstElement *> encoder{nullptr};  // holds a reference
    std::atomic<bool> picture_seen{false};
    std::atomic<bool> picture_wanted{false};
    std::atomic<int64_t> pending_bitrate{-1};  // -1: none
    std::atomic<int64_t> bitrate{-1};          // -1: not read yet
    std::atomic<int64_t> pending_threads{-1};  // -1: none
    std::atomic<int64_t> threads{-1};          // -1: as the branch set it
    PictureHandler on_picture;
    ~State();
  };

 private:
  ElementRef pipeline_;
  std::shared_ptr<State> state_;
  gulong added_id_ = 0;
};

}  // namespace nerko
