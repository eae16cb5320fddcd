// Property setters for building the graph. Typed values are checked first, so
// a missing, unwritable, mistyped or out-of-range property is an error value
// instead of a GLib warning that lets the run go on misconfigured.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <string>

#include "encoder/control/encoder_error.h"

namespace nerko {

Status set_property_checked(gpointer object, const char *name, const GValue *value);

Status set_int_property(gpointer object, const char *name, int32_t value);
Status set_uint_property(gpointer object, const char *name, uint32_t value);
Status set_int64_property(gpointer object, const char *name, int64_t value);
Status set_bool_property(gpointer object, const char *name, bool value);
Status set_string_property(gpointer object, const char *name, const std::string &value);
Status set_caps_property(gpointer object, const char *name, GstCaps *caps);

// Text form, deserialised by GStreamer; a text the property cannot take leaves
// it unchanged (GStreamer logs a warning) and is not reported.
void set_property_from_text(gpointer object, const char *name, const char *text);

}  // namespace nerko
