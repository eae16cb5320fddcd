// The input part of the pipeline: one uridecodebin whose streams become
// branches through the "pad-added" handler.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "encoder/control/contexts.h"
#include "encoder/control/encoder_error.h"
#include "encoder/control/gst_ref.h"
#include "encoder/control/stream_sinks.h"
#include "encoder/graph/pad_added.h"

namespace nerko {

class InputDecoder {
 public:
  // MissingElement when GStreamer cannot make a uridecodebin. With
  // `latency_ms` (NERKO_LATENCY_MS) every buffering element it makes holds
  // that much of the live input instead of its own default.
  static Result<std::unique_ptr<InputDecoder>> make(std::optional<uint32_t> latency_ms = std::nullopt);
  // The pad-added context holds the pipeline, which holds the decoder, which
  // holds the context: disconnecting the handler is what breaks that cycle.
  ~InputDecoder();
  InputDecoder(const InputDecoder &) = delete;
  InputDecoder &operator=(const InputDecoder &) = delete;

  GstElement *element() const { return decoder_.get(); }

  // Connects the branch builder ("pad-added", taking over `context`) and the
  // check for an input without a stream to encode ("no-more-pads").
  Status connect(PadAddedContext *context, const SharedStreamSinks &sinks);

 private:
  explicit InputDecoder(ElementRef decoder) : decoder_(std::move(decoder)) {}
  ElementRef decoder_;
  gulong pad_added_id_ = 0;
};

}  // namespace nerko
