#include "encoder/input/whole_frame_input.h"

#include <string_view>

namespace nerko {
namespace {

bool is_unaligned_byte_stream(const GstStructure *s) {
  const std::string_view name = gst_structure_get_name(s);
  if (name != "video/x-h264" && name != "video/x-h265")
    return false;
  const char *format = gst_structure_get_string(s, "stream-format");
  return format && std::string_view(format) == "byte-stream" && !gst_structure_has_field(s, "alignment");
}

GstPadProbeReturn on_caps_event(GstPad *, GstPadProbeInfo *info, gpointer) {
  GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS)
    return GST_PAD_PROBE_OK;
  GstCaps *caps = nullptr;
  gst_event_parse_caps(event, &caps);
  if (!caps || gst_caps_get_size(caps) != 1 || !is_unaligned_byte_stream(gst_caps_get_structure(caps, 0)))
    return GST_PAD_PROBE_OK;
  GstCaps *aligned = gst_caps_copy(caps);
  gst_caps_set_simple(aligned, "alignment", G_TYPE_STRING, "au", nullptr);
  GST_PAD_PROBE_INFO_DATA(info) = gst_event_new_caps(aligned);
  gst_caps_unref(aligned);
  gst_event_unref(event);
  return GST_PAD_PROBE_OK;
}

void on_pad_added(GstElement *, GstPad *pad, gpointer) {
  if (GST_PAD_IS_SRC(pad))
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, on_caps_event, nullptr, nullptr);
}

}  // namespace

void declare_whole_frames(GstElement *demuxer) {
  // Connected before the demuxer leaves READY, so before its first pad.
  g_signal_connect(demuxer, "pad-added", G_CALLBACK(on_pad_added), nullptr);
}

}  // namespace nerko
