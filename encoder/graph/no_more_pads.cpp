#include "encoder/graph/no_more_pads.h"

#include <mutex>

#include "encoder/control/gst_ref.h"

namespace nerko {

std::string decoded_stream_kinds(GstElement *decoder) {
  std::string kinds;
  GstIterator *pads = gst_element_iterate_src_pads(decoder);
  GValue item = G_VALUE_INIT;
  bool done = false;
  while (!done) {
    switch (gst_iterator_next(pads, &item)) {
      case GST_ITERATOR_OK: {
        CapsRef caps(gst_pad_get_current_caps(GST_PAD(g_value_get_object(&item))));
        const char *name = caps && gst_caps_get_size(caps.get()) > 0
                               ? gst_structure_get_name(gst_caps_get_structure(caps.get(), 0))
                               : "unknown";
        kinds += (kinds.empty() ? "" : ", ") + std::string(name);
        g_value_reset(&item);
        break;
      }
      case GST_ITERATOR_RESYNC:
        kinds.clear();
        gst_iterator_resync(pads);
        break;
      default:
        done = true;
        break;
    }
  }
  g_value_unset(&item);
  gst_iterator_free(pads);
  return kinds.empty() ? "none" : kinds;
}

void on_no_more_pads(GstElement *decoder, gpointer data) {
  auto *context = static_cast<NoMorePadsContext *>(data);
  bool has_sender;
  {
    // Every "pad-added" of this round has returned, so a branch that was
    // built has recorded its senders by now.
    std::lock_guard<std::mutex> lock(context->sinks->mutex);
    has_sender = context->sinks->video_rtp || context->sinks->audio_rtp;
  }
  if (has_sender)
    return;
  std::string debug = "Decoded streams: " + decoded_stream_kinds(decoder);
  // gst_element_message_full takes ownership of both texts.
  gst_element_message_full(decoder, GST_MESSAGE_ERROR, GST_STREAM_ERROR, GST_STREAM_ERROR_WRONG_TYPE,
                           g_strdup("The input has no audio or video stream"), g_strdup(debug.c_str()),
                           "encoder/graph/no_more_pads.cpp", "on_no_more_pads", __LINE__);
}

}  // namespace nerko
