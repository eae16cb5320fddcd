#include "encoder/graph/properties.h"

namespace nerko {

Status set_property_checked(gpointer object, const char *name, const GValue *value) {
  GObject *obj = G_OBJECT(object);
  std::string prefix = std::string("property '") + name + "' of type '" + G_OBJECT_TYPE_NAME(obj);
  GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(obj), name);
  if (!pspec)
    return EncoderError::library(prefix + "' not found");
  if (!(pspec->flags & G_PARAM_WRITABLE) || (pspec->flags & G_PARAM_CONSTRUCT_ONLY))
    return EncoderError::library(prefix + "' is not writable");
  if (!g_type_is_a(G_VALUE_TYPE(value), pspec->value_type))
    return EncoderError::library(prefix + "' can't be set from the given type (expected: '" +
                                 g_type_name(pspec->value_type) + "', got: '" +
                                 G_VALUE_TYPE_NAME(value) + "')");
  GValue probe = G_VALUE_INIT;
  g_value_init(&probe, G_VALUE_TYPE(value));
  g_value_copy(value, &probe);
  // g_param_value_validate() changes the copy exactly when the value is invalid.
  bool invalid = g_param_value_validate(pspec, &probe);
  g_value_unset(&probe);
  if (invalid)
    return EncoderError::library(prefix + "' can't be set from given value, it is invalid or out of range");
  g_object_set_property(obj, name, value);
  return std::nullopt;
}

namespace {

template <typename Setter>
Status set_with(gpointer object, const char *name, GType type, Setter fill) {
  GValue value = G_VALUE_INIT;
  g_value_init(&value, type);
  fill(&value);
  Status status = set_property_checked(object, name, &value);
  g_value_unset(&value);
  return status;
}

}  // namespace

Status set_int_property(gpointer object, const char *name, int32_t v) {
  return set_with(object, name, G_TYPE_INT, [v](GValue *value) { g_value_set_int(value, v); });
}

Status set_uint_property(gpointer object, const char *name, uint32_t v) {
  return set_with(object, name, G_TYPE_UINT, [v](GValue *value) { g_value_set_uint(value, v); });
}

Status set_int64_property(gpointer object, const char *name, int64_t v) {
  return set_with(object, name, G_TYPE_INT64, [v](GValue *value) { g_value_set_int64(value, v); });
}

Status set_bool_property(gpointer object, const char *name, bool v) {
  return set_with(object, name, G_TYPE_BOOLEAN, [v](GValue *value) { g_value_set_boolean(value, v); });
}

Status set_string_property(gpointer object, const char *name, const std::string &v) {
  return set_with(object, name, G_TYPE_STRING,
                  [&v](GValue *value) { g_value_set_string(value, v.c_str()); });
}

Status set_caps_property(gpointer object, const char *name, GstCaps *caps) {
  return set_with(object, name, GST_TYPE_CAPS, [caps](GValue *value) { gst_value_set_caps(value, caps); });
}

void set_property_from_text(gpointer object, const char *name, const char *text) {
  gst_util_set_object_arg(G_OBJECT(object), name, text);
}

}  // namespace nerko
