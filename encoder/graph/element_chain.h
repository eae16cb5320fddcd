// The building blocks shared by the video and the audio branch: make, add and
// link elements, fetch pads, each failure as its EncoderError.
#pragma once

#include <gst/gst.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "encoder/control/encoder_error.h"
#include "encoder/control/gst_ref.h"

namespace nerko {

// The element's current name, e.g. "videoconvert0".
std::string element_name(GstElement *element);

// One element per factory, in order, with no instance name. The references
// are sunk and owned by the caller, so elements never added to a bin are
// freed when the vector goes; the first factory that fails gives
// MissingElement.
Result<std::vector<ElementRef>> make_elements(std::initializer_list<const char *> factories);

// Adds every element to `bin` in order; "Failed to add elements" at the first
// refusal (those added before it stay).
Status add_elements(GstElement *bin, const std::vector<ElementRef> &elements);

// Links each pair with automatic pad choice, in order; "Failed to link
// elements" at the first refusal.
Status link_elements(std::initializer_list<std::pair<GstElement *, GstElement *>> links);

// NoSuchPad when the element has no static pad / refuses the request pad;
// a request pad that already exists counts as refused.
Result<PadRef> static_pad(GstElement *element, const char *name);
Result<PadRef> request_pad(GstElement *element, const char *name);

// LinkRefused with GStreamer's result when the link is refused.
Status link_pads(GstPad *source, GstPad *sink);

// Links `source` to the static pad `sink_name` of `element`.
Status link_to_static_pad(GstPad *source, GstElement *element, const char *sink_name);

}  // namespace nerko
