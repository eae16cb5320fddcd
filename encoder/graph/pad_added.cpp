#include "encoder/graph/pad_added.h"

#include <mutex>

#include "encoder/graph/branch.h"
#include "encoder/control/fatal.h"
#include "encoder/graph/posted_error.h"

namespace nerko {
namespace {

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
  Status status = build_branch(*context->sinks, context->output, context->pipeline.get(),
                               context->rtpbin.get(), pad, context->audio_fec_percent, stdout,
                               context->session_description.get(), context->host_address);
  if (!status)
    return;
  if (status->is_fatal())
    request_fatal_stop(*context, status->message());
  else
    post_library_failure(element, "Failed to link decodebin srcpad", status->message(), kPadAddedErrorLine);
}

}  // namespace nerko
