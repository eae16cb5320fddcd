#include "encoder/graph/element_chain.h"

namespace nerko {

std::string element_name(GstElement *element) {
  GStringRef name(gst_object_get_name(GST_OBJECT(element)));
  return name ? name.get() : "";
}

Result<std::vector<ElementRef>> make_elements(std::initializer_list<const char *> factories) {
  std::vector<ElementRef> elements;
  elements.reserve(factories.size());
  for (const char *factory : factories) {
    GstElement *element = gst_element_factory_make(factory, nullptr);
    if (!element)
      return EncoderError::missing_element(factory);
    elements.emplace_back(GST_ELEMENT(gst_object_ref_sink(element)));
  }
  return elements;
}

Status add_elements(GstElement *bin, const std::vector<ElementRef> &elements) {
  for (const ElementRef &element : elements)
    if (!gst_bin_add(GST_BIN(bin), element.get()))
      return EncoderError::library("Failed to add elements");
  return std::nullopt;
}

Status link_elements(std::initializer_list<std::pair<GstElement *, GstElement *>> links) {
  for (const auto &[source, sink] : links)
    if (!gst_element_link(source, sink))
      return EncoderError::library("Failed to link elements");
  return std::nullopt;
}

Result<PadRef> static_pad(GstElement *element, const char *name) {
  PadRef pad(gst_element_get_static_pad(element, name));
  if (!pad)
    return EncoderError::no_such_pad(name, element_name(element));
  return pad;
}

Result<PadRef> request_pad(GstElement *element, const char *name) {
  // Requesting a name the element already has is undefined in GStreamer
  // (rtpbin makes a second pad it cannot add); it counts as a refusal.
  PadRef existing(gst_element_get_static_pad(element, name));
  if (existing)
    return EncoderError::no_such_pad(name, element_name(element));
  PadRef pad(gst_element_request_pad_simple(element, name));
  if (!pad)
    return EncoderError::no_such_pad(name, element_name(element));
  return pad;
}

Status link_pads(GstPad *source, GstPad *sink) {
  GstPadLinkReturn result = gst_pad_link(source, sink);
  if (GST_PAD_LINK_FAILED(result))
    return EncoderError::link_refused(result);
  return std::nullopt;
}

Status link_to_static_pad(GstPad *source, GstElement *element, const char *sink_name) {
  Result<PadRef> sink = static_pad(element, sink_name);
  if (!sink)
    return sink.error();
  return link_pads(source, sink.value().get());
}

}  // namespace nerko
