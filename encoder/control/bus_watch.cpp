#include "encoder/control/bus_watch.h"

#include "encoder/control/fatal.h"
#include "encoder/control/gst_ref.h"
#include "encoder/control/input_supervision.h"

namespace nerko {
namespace {

void write_line(std::FILE *err, const std::string &line) {
  // One write per line keeps lines whole next to other threads' output.
  std::fwrite(line.data(), 1, line.size(), err);
  std::fflush(err);
}

std::string escape_code_point(gunichar c) {
  switch (c) {
    case '\\': return "\\\\";
    case '"': return "\\\"";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    case '\0': return "\\0";
    default: break;
  }
  if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) {
    char buffer[16];
    g_snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
    return buffer;
  }
  char utf8[6];
  return std::string(utf8, g_unichar_to_utf8(c, utf8));
}

std::string optional_text(const char *text) {
  return text ? "Some(" + quote_text(text) + ")" : std::string("None");
}

// One field value: texts quoted, errors with their domain, code and message
// (GStreamer's own serialisation drops them), everything else serialised.
std::string value_rendering(const GValue *value) {
  if (G_VALUE_HOLDS_STRING(value)) {
    const char *text = g_value_get_string(value);
    return text ? quote_text(text) : std::string("NULL");
  }
  if (G_VALUE_HOLDS(value, G_TYPE_ERROR)) {
    const GError *error = static_cast<const GError *>(g_value_get_boxed(value));
    if (!error)
      return "NULL";
    return "GError { domain: " + quote_text(g_quark_to_string(error->domain)) +
           ", code: " + std::to_string(error->code) +
           ", message: " + quote_text(error->message ? error->message : "") + " }";
  }
  GStringRef serialised(gst_value_serialize(value));
  std::string type = std::string("(") + G_VALUE_TYPE_NAME(value) + ")";
  return serialised ? type + serialised.get() : type;
}

// "Name {" and one indented line per field, closed at `indent`.
std::string structure_rendering(const GstStructure *structure, const std::string &indent) {
  std::string text = indent + gst_structure_get_name(structure) + " {\n";
  for (int i = 0, n = gst_structure_n_fields(structure); i < n; ++i) {
    const char *field = gst_structure_nth_field_name(structure, i);
    text += indent + "    " + field + ": " +
            value_rendering(gst_structure_get_value(structure, field)) + ",\n";
  }
  return text + indent + "}";
}

void handle_error(GstMessage *message, const BusWatchContext &context, std::FILE *err) {
  if (gst_element_set_state(context.pipeline.get(), GST_STATE_NULL) == GST_STATE_CHANGE_FAILURE)
    return end_run(*context.outcome, context.main_loop.get(), RunEnd::FatalStop,
                   "Unable to set the pipeline to the `Null` state");
  write_line(err, error_line(message));
  end_run(*context.outcome, context.main_loop.get(), RunEnd::Error);
}

void handle_state_changed(GstMessage *message, const BusWatchContext &context, std::FILE *err) {
  // Only the pipeline itself counts; its children reach PLAYING on their own.
  if (GST_MESSAGE_SRC(message) != GST_OBJECT_CAST(context.pipeline.get()))
    return;
  GstState new_state = GST_STATE_VOID_PENDING;
  gst_message_parse_state_changed(message, nullptr, &new_state, nullptr);
  if (new_state != GST_STATE_PLAYING)
    return;
  write_line(err, "PLAYING\n");
  gst_debug_bin_to_dot_file(GST_BIN(context.pipeline.get()), GST_DEBUG_GRAPH_SHOW_VERBOSE,
                            "server-playing");
  if (context.latency_report)
    context.latency_report->playing(context.pipeline.get(), err);
}

void handle_latency(const BusWatchContext &context, std::FILE *err) {
  write_line(err, "Redistributing latency\n");
  // The pipeline keeps its old latency; tell the operator, keep watching.
  bool redistributed = context.keep_alive ? context.keep_alive->redistribute_latency()
                                          : gst_bin_recalculate_latency(GST_BIN(context.pipeline.get()));
  if (!redistributed)
    write_line(err, "Warning, failed to redistribute latency\n");
  // A failed recalculation told the sinks nothing new.
  if (context.latency_report && redistributed)
    context.latency_report->redistributed(context.pipeline.get(), err);
}

}  // namespace

std::string quote_text(std::string_view text) {
  std::string quoted = "\"";
  const char *p = text.data();
  const char *end = p + text.size();
  while (p < end) {
    if (*p == '\0') {  // GLib's decoder treats a NUL byte as a broken sequence
      quoted += escape_code_point(0);
      ++p;
      continue;
    }
    gunichar c = g_utf8_get_char_validated(p, end - p);
    if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
      quoted += "\xEF\xBF\xBD";  // U+FFFD for a byte that starts no character
      ++p;
      continue;
    }
    quoted += escape_code_point(c);
    p = g_utf8_next_char(p);
  }
  quoted += "\"";
  return quoted;
}

std::string debug_rendering(const char *debug) { return optional_text(debug); }

std::string error_line(GstMessage *message) {
  GError *raw_error = nullptr;
  gchar *raw_debug = nullptr;
  gst_message_parse_error(message, &raw_error, &raw_debug);
  ErrorRef error(raw_error);
  GStringRef debug(raw_debug);
  std::string line = "Error! ";
  line += error && error->message ? error->message : "";
  line += ": " + debug_rendering(debug.get()) + "\n";
  return line;
}

std::string error_message_text(GstMessage *message, const char *fallback) {
  GError *raw = nullptr;
  gst_message_parse_error(message, &raw, nullptr);
  ErrorRef error(raw);
  return error && error->message ? error->message : fallback;
}

void report_first_error(GstBus *bus, std::FILE *err) {
  // Only the first: later ones are usually GStreamer's generic follow-ups
  // ("state change failed") that hide the cause.
  MessageRef message(gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR));
  if (message)
    write_line(err, error_line(message.get()));
}

std::string info_rendering(GstMessage *message) {
  char ptr[32];
  g_snprintf(ptr, sizeof ptr, "%p", static_cast<void *>(message));
  GstObject *src = GST_MESSAGE_SRC(message);
  GStringRef src_name(src ? gst_object_get_name(src) : nullptr);
  const GstStructure *structure = gst_message_get_structure(message);

  std::string text = "Info(\n    Message {\n";
  text += std::string("        ptr: ") + ptr + ",\n";
  text += "        type: " + quote_text(GST_MESSAGE_TYPE_NAME(message)) + ",\n";
  text += "        seqnum: " + std::to_string(gst_message_get_seqnum(message)) + ",\n";
  text += "        src: " + optional_text(src_name.get()) + ",\n";
  if (structure)
    text += "        structure: Some(\n" + structure_rendering(structure, "            ") +
            ",\n        ),\n";
  else
    text += "        structure: None,\n";
  text += "    },\n)";
  return text;
}

void handle_bus_message(GstMessage *message, const BusWatchContext &context, std::FILE *err) {
  // The run is ending on a fatal stop: nothing more is shown.
  if (context.outcome->end == RunEnd::FatalStop)
    return;
  // The input's failures and ends are the keep-alive supervisor's to handle.
  if (context.keep_alive && context.keep_alive->handle_message(message))
    return;
  switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_EOS:
      if (!context.outcome->draining)
        end_run(*context.outcome, context.main_loop.get(), RunEnd::EndOfStream);
      break;
    case GST_MESSAGE_APPLICATION:
      if (std::optional<std::string> text = posted_fatal_stop(message))
        end_run(*context.outcome, context.main_loop.get(), RunEnd::FatalStop, *text);
      break;
    case GST_MESSAGE_ERROR:
      handle_error(message, context, err);
      break;
    case GST_MESSAGE_INFO:
      write_line(err, "Info: " + info_rendering(message) + "\n");
      break;
    case GST_MESSAGE_STATE_CHANGED:
      handle_state_changed(message, context, err);
      break;
    case GST_MESSAGE_LATENCY:
      handle_latency(context, err);
      break;
    default:
      break;
  }
}

gboolean on_bus_message(GstBus *, GstMessage *message, gpointer data) {
  handle_bus_message(message, *static_cast<const BusWatchContext *>(data), stderr);
  return TRUE;
}

}  // namespace nerko
