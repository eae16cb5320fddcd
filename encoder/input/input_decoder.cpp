#include "encoder/input/input_decoder.h"

#include "encoder/input/input_latency.h"
#include "encoder/graph/no_more_pads.h"
#include "encoder/graph/pad_added.h"
#include "encoder/control/signals.h"

namespace nerko {

Result<std::unique_ptr<InputDecoder>> InputDecoder::make(std::optional<uint32_t> latency_ms) {
  GstElement *decoder = gst_element_factory_make("uridecodebin", nullptr);
  if (!decoder)
    return EncoderError::missing_element("uridecodebin");
  if (latency_ms)
    follow_input_latency(decoder, *latency_ms);
  return std::unique_ptr<InputDecoder>(new InputDecoder(ElementRef(GST_ELEMENT(gst_object_ref_sink(decoder)))));
}

InputDecoder::~InputDecoder() {
  if (pad_added_id_ != 0)
    g_signal_handler_disconnect(decoder_.get(), pad_added_id_);
}

Status InputDecoder::connect(PadAddedContext *context, const SharedStreamSinks &sinks) {
  // Every decoded stream gets its branch from this handler, on a streaming thread.
  if (Status status = connect_signal_checked(
          decoder_.get(), "pad-added",
          g_cclosure_new(G_CALLBACK(on_pad_added), context, destroy_context_closure<PadAddedContext>),
          &pad_added_id_))
    return status;
  // An input whose streams all go unused would otherwise never end the run.
  return connect_signal_checked(decoder_.get(), "no-more-pads",
                                g_cclosure_new(G_CALLBACK(on_no_more_pads), new NoMorePadsContext{sinks},
                                               destroy_context_closure<NoMorePadsContext>));
}

}  // namespace nerko
