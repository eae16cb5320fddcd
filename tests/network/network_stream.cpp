#include "network_stream.h"

#include <gst/gst.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>
#include <string_view>

extern char **environ;

namespace nerko::network_test {

namespace fs = std::filesystem;

void make_clip(const fs::path &clip, int seconds) {
  gst_init(nullptr, nullptr);
  const std::string description =
      "videotestsrc num-buffers=" + std::to_string(25 * seconds) +
      " ! video/x-raw,width=160,height=120,framerate=25/1 ! theoraenc ! queue ! oggmux name=mux ! "
      "filesink location=\"" + clip.string() + "\" audiotestsrc num-buffers=" +
      std::to_string(48000 * seconds / 1024 + 1) +
      " samplesperbuffer=1024 ! audio/x-raw,rate=48000,channels=2 ! vorbisenc ! queue ! mux.";
  GError *error = nullptr;
  GstElement *pipeline = gst_parse_launch(description.c_str(), &error);
  std::string reason = error ? error->message : "";
  if (error)
    g_error_free(error);
  ASSERT_TRUE(pipeline) << reason;
  ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  GstBus *bus = gst_element_get_bus(pipeline);
  GstMessage *message = gst_bus_timed_pop_filtered(bus, 120 * GST_SECOND,
                                                   GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  GstMessageType type = message ? GST_MESSAGE_TYPE(message) : GST_MESSAGE_UNKNOWN;
  if (message)
    gst_message_unref(message);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  ASSERT_EQ(type, GST_MESSAGE_EOS) << "the clip could not be made";
}

testing_support::EnvChanges default_settings() {
  // Every NERKO_ variable, the ones added later included.
  testing_support::EnvChanges env;
  for (char **entry = environ; *entry; ++entry) {
    std::string text(*entry);
    if (text.rfind("NERKO_", 0) == 0)
      env[text.substr(0, text.find('='))] = std::nullopt;
  }
  return env;
}

namespace {

// Consumes `literal` at the front of `text`.
bool take(std::string_view &text, std::string_view literal) {
  if (text.substr(0, literal.size()) != literal)
    return false;
  text.remove_prefix(literal.size());
  return true;
}

// Consumes one or more decimal digits at the front of `text`.
std::optional<uint64_t> take_number(std::string_view &text) {
  size_t digits = 0;
  while (digits < text.size() && digits < 19 && text[digits] >= '0' && text[digits] <= '9')
    ++digits;
  if (digits == 0)
    return std::nullopt;
  uint64_t value = std::stoull(std::string(text.substr(0, digits)));
  text.remove_prefix(digits);
  return value;
}

}  // namespace

std::optional<SentBytes> parse_statistics_line(const std::string &line) {
  std::string_view text(line);
  if (!text.empty() && text.back() == '\n')
    text.remove_suffix(1);
  if (!take(text, "nerko-encoder (") || text.size() < 40)
    return std::nullopt;
  for (char c : text.substr(0, 40))
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
      return std::nullopt;
  text.remove_prefix(40);
  uint64_t values[5];
  const char *labels[5] = {"): Video RTP:", ", Video RTCP:", ", Audio RTP:", ", Audio RTCP:", ", Total:"};
  for (int i = 0; i < 5; ++i) {
    std::optional<uint64_t> value;
    if (!take(text, labels[i]) || !(value = take_number(text)))
      return std::nullopt;
    values[i] = *value;
  }
  if (!text.empty())
    return std::nullopt;
  return SentBytes{values[0], values[1], values[2], values[3], values[4]};
}

std::vector<SentBytes> statistics_lines(const std::string &out) {
  std::vector<SentBytes> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line))
    if (auto parsed = parse_statistics_line(line))
      lines.push_back(*parsed);
  return lines;
}

std::optional<SentBytes> next_statistics_line(testing_support::RunningProgram &program,
                                              std::chrono::seconds limit) {
  while (auto line = program.next_out_line(limit))
    if (auto parsed = parse_statistics_line(*line))
      return parsed;
  return std::nullopt;
}

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (fs::temp_directory_path() / "nerko-network-XXXXXX").string();
  if (mkdtemp(pattern.data()))
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  if (!path_.empty())
    fs::remove_all(path_, ignored);
}

}  // namespace nerko::network_test
