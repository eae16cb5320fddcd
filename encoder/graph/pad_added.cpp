#include "pad_added.h"

#include <string_view>

#include "branch.h"
#include "fatal.h"
#include "posted_error.h"

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

}  // namespace

void on_pad_added(GstElement *element, GstPad *pad, gpointer data) {
  if (!element)
    fatal_stop("\"pad-added\" emitted without an element");
  if (!pad)
    fatal_stop("\"pad-added\" emitted without a pad");
  const auto *context = static_cast<const PadAddedContext *>(data);
  // Before the pad is linked: its first buffer is already counted.
  if (context->activity && is_raw_media(pad))
    watch_decoded_pad(pad, context->activity, context->heads != nullptr);
  Status status = build_branch(*context->sinks, context->output, context->pipeline.get(),
                               context->rtpbin.get(), pad, context->audio_fec_percent, stdout,
                               context->session_description.get(), context->host_address,
                               context->heads.get());
  if (status)
    post_library_failure(context->heads ? context->rtpbin.get() : element, "Failed to link decodebin srcpad",
                         status->message(), kPadAddedErrorLine);
}

}  // namespace nerko
