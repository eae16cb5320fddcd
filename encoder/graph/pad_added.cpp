#include "encoder/graph/pad_added.h"

#include <mutex>
#include <string_view>

#include "encoder/graph/branch.h"
#include "encoder/control/fatal.h"
#include "encoder/graph/posted_error.h"

namespace nerko {
namespace {

// A stream the encoder makes a branch for.
bool is_raw_media(GstPad *pad) {
  CapsRef caps(gst_pad_get_current_caps(pad));
  if (!caps || gst_caps_get_size(caps.get()) == 0)
    return false;
  std::string_view kind = gst_structure_get_name(gst_caps_get_structure(caps.get(), 0));
  return kind == "video/x-raw" || kind == "audio/x-raw";
}

// The run ends on this: the streams still to be announced build nothing, and
// the bus watch hands the stop to the run sequence.
void request_fatal_stop(const PadAddedContext &context, const std::string &text) {
  {
    std::lock_guard<std::mutex> lock(context.sinks->mutex);
    context.sinks->stopping = true;
  }
  BusRef bus(gst_element_get_bus(context.pipeline.get()));
  post_fatal_stop(bus.get(), text);
}

}  // namespace

void on_pad_added(GstElement *element, GstPad *pad, gpointer data) {
  const auto *context = static_cast<const PadAddedContext *>(data);
  if (!element)
    return request_fatal_stop(*context, "\"pad-added\" emitted without an element");
  if (!pad)
    return request_fatal_stop(*context, "\"pad-added\" emitted without a pad");
  // Before the pad is linked: its first buffer is already counted.
  if (context->activity && is_raw_media(pad)) {
    watch_decoded_pad(pad, context->activity, context->heads != nullptr);
    if (context->activity->content)
      watch_content(pad, context->activity->content);
  }
  Status status = build_branch(*context->sinks, context->output, context->pipeline.get(),
                               context->rtpbin.get(), pad, context->audio_fec_percent, stdout,
                               context->session_description.get(), context->host_address,
                               context->heads.get(), context->feeds.get());
  if (!status)
    return;
  if (status->is_fatal())
    request_fatal_stop(*context, status->message());
  else
    post_library_failure(context->heads ? context->rtpbin.get() : element, "Failed to link decodebin srcpad",
                         status->message(), kPadAddedErrorLine);
}

}  // namespace nerko
