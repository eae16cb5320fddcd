#include "encoder/graph/fec.h"

#include <string>

#include "encoder/control/contexts.h"
#include "encoder/control/fatal.h"
#include "encoder/graph/posted_error.h"
#include "encoder/graph/properties.h"

namespace nerko {
namespace {

EncoderError malformed_emission(const char *argument, const std::string &what) {
  return EncoderError::fatal(std::string("Invalid argument ") + argument + " of signal 'request-fec-encoder': " +
                             what);
}

std::string type_text(const GValue *value) {
  return std::string("got ") + G_VALUE_TYPE_NAME(value);
}

Result<GstElement *> emitting_element(const GValue *values, guint n_values) {
  if (n_values < 1)
    return malformed_emission("values[0]", "missing");
  if (!G_VALUE_HOLDS(&values[0], GST_TYPE_ELEMENT))
    return malformed_emission("values[0]", "expected GstElement, " + type_text(&values[0]));
  auto *element = static_cast<GstElement *>(g_value_get_object(&values[0]));
  if (!element)
    return malformed_emission("values[0]", "no `Element`");
  return element;
}

Result<guint> session_number(const GValue *values, guint n_values) {
  if (n_values < 2)
    return malformed_emission("values[1]", "missing");
  if (!G_VALUE_HOLDS_UINT(&values[1]))
    return malformed_emission("values[1]", "expected guint, " + type_text(&values[1]));
  return g_value_get_uint(&values[1]);
}

void marshal_fec_request(GClosure *closure, GValue *return_value, guint n_values, const GValue *values,
                         gpointer /*invocation_hint*/, gpointer /*marshal_data*/) {
  const auto *context = static_cast<const FecRequestContext *>(closure->data);
  GstElement *encoder = on_request_fec_encoder(values, n_values, *context);
  if (return_value && G_VALUE_HOLDS(return_value, GST_TYPE_ELEMENT))
    g_value_take_object(return_value, encoder);
  else if (encoder)
    gst_object_unref(encoder);
}

}  // namespace

Result<ElementRef> make_fec_encoder(uint32_t video_fec_percent) {
  GstElement *made = gst_element_factory_make("rtpulpfecenc", nullptr);
  if (!made)
    return EncoderError::missing_element("rtpulpfecenc");
  ElementRef encoder(GST_ELEMENT(gst_object_ref_sink(made)));
  if (Status s = set_uint_property(encoder.get(), "pt", kFecPayloadType))
    return *s;
  if (Status s = set_bool_property(encoder.get(), "multipacket", true))
    return *s;
  if (Status s = set_uint_property(encoder.get(), "percentage", video_fec_percent))
    return *s;
  return encoder;
}

GstElement *on_request_fec_encoder(const GValue *values, guint n_values, const FecRequestContext &context) {
  Result<GstElement *> rtpbin = emitting_element(values, n_values);
  Result<guint> session = rtpbin ? session_number(values, n_values) : rtpbin.error();
  if (!session) {
    post_fatal_stop(context.bus.get(), session.error().message());
    return nullptr;
  }
  if (session.value() != 0)
    return nullptr;
  Result<ElementRef> encoder = make_fec_encoder(context.video_fec_percent);
  if (!encoder) {
    post_library_failure(rtpbin.value(), "Failed to make FEC encoder", encoder.error().message(),
                         kFecRequestErrorLine);
    return nullptr;
  }
  return encoder.take().release();
}

GClosure *make_fec_request_closure(FecRequestContext *context) {
  GClosure *closure = g_closure_new_simple(sizeof(GClosure), context);
  g_closure_add_finalize_notifier(closure, context, destroy_context_closure<FecRequestContext>);
  g_closure_set_marshal(closure, marshal_fec_request);
  return closure;
}

}  // namespace nerko
