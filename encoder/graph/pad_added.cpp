#include "pad_added.h"

#include "branch.h"
#include "fatal.h"
#include "posted_error.h"

namespace nerko {

void on_pad_added(GstElement *element, GstPad *pad, gpointer data) {
  if (!element)
    fatal_stop("\"pad-added\" emitted without an element");
  if (!pad)
    fatal_stop("\"pad-added\" emitted without a pad");
  const auto *context = static_cast<const PadAddedContext *>(data);
  Status status = build_branch(*context->sinks, context->output, context->pipeline.get(),
                               context->rtpbin.get(), pad, context->audio_fec_percent, stdout,
                               context->session_description.get(), context->host_address);
  if (status)
    post_library_failure(element, "Failed to link decodebin srcpad", status->message(), kPadAddedErrorLine);
}

}  // namespace nerko
