#include "encoder/control/fatal.h"

#include <unistd.h>

#include <cstdio>

namespace nerko {
namespace {

constexpr const char *kFatalStopMessage = "nerko-fatal-stop";

}  // namespace

void fatal_stop(std::string_view text) {
  std::fflush(stdout);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  _exit(2);
}

void post_fatal_stop(GstBus *bus, const std::string &text) {
  GstStructure *structure = gst_structure_new(kFatalStopMessage, "text", G_TYPE_STRING, text.c_str(), nullptr);
  gst_bus_post(bus, gst_message_new_application(nullptr, structure));
}

std::optional<std::string> posted_fatal_stop(GstMessage *message) {
  if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_APPLICATION || !gst_message_has_name(message, kFatalStopMessage))
    return std::nullopt;
  const char *text = gst_structure_get_string(gst_message_get_structure(message), "text");
  return std::string(text ? text : "");
}

}  // namespace nerko
