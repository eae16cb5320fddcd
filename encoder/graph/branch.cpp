#include "branch.h"

#include <mutex>
#include <string_view>

#include "audio_branch.h"
#include "branch_target.h"
#include "destination.h"
#include "element_chain.h"
#include "fatal.h"
#include "gst_ref.h"
#include "video_branch.h"

namespace nerko {
namespace {

std::string pad_name(GstPad *pad) {
  GStringRef name(gst_object_get_name(GST_OBJECT(pad)));
  return name ? name.get() : "";
}

}  // namespace

Status build_branch(StreamSinks &sinks, const std::string &output, GstElement *pipeline,
                    GstElement *rtpbin, GstPad *new_pad, uint32_t audio_fec_percent,
                    std::FILE *console) {
  CapsRef caps(gst_pad_get_current_caps(new_pad));
  if (!caps)
    fatal_stop("Decoder pad " + pad_name(new_pad) + " has no caps");
  if (gst_caps_get_size(caps.get()) == 0)
    fatal_stop("Decoder pad " + pad_name(new_pad) + " has caps without a structure");
  const GstStructure *first = gst_caps_get_structure(caps.get(), 0);

  // Held until return on every path, so a statistics tick never sees a
  // half-recorded session and two branches never interleave.
  std::lock_guard<std::mutex> lock(sinks.mutex);
  Destination destination = destination_or_stop(output);
  CapsRef size_caps(gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, 640, "height", G_TYPE_INT,
                                        360, nullptr));
  CapsRef rate_caps(gst_caps_new_simple("video/x-raw", "framerate", GST_TYPE_FRACTION, 10, 1, nullptr));

  BranchTarget target{pipeline, rtpbin, new_pad, destination, sinks, console};
  std::string_view kind = gst_structure_get_name(first);
  if (kind == "video/x-raw") {
    if (Status s = build_video_branch(target, size_caps.get(), rate_caps.get()))
      return s;
  } else if (kind == "audio/x-raw") {
    if (Status s = build_audio_branch(target, audio_fec_percent))
      return s;
  }
  // The pipeline is already playing; the new elements must follow it.
  if (!gst_bin_sync_children_states(GST_BIN(pipeline)))
    return EncoderError::library("Failed to sync children states");
  return std::nullopt;
}

}  // namespace nerko
