// The bus watch fed with constructed messages. Its lines are captured through
// the FILE it writes to; the graph dump goes to a private dump directory.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "encoder/control/bus_watch.h"
#include "encoder/control/fatal.h"

namespace nerko {
namespace {

namespace fs = std::filesystem;
using testing::Eq;
using testing::ExitedWithCode;

// GStreamer reads its dump directory once, at initialisation, so it is set
// before any test initialises GStreamer.
struct DotDirectory {
  fs::path path;
  DotDirectory() {
    char pattern[] = "/tmp/nerko-bus-watch-XXXXXX";
    path = mkdtemp(pattern);
    setenv("GST_DEBUG_DUMP_DOT_DIR", path.c_str(), 1);
  }
  ~DotDirectory() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};
const DotDirectory dot_directory;

// Everything written on a FILE, as text.
class Capture {
 public:
  Capture() : file_(open_memstream(&data_, &size_)) {}
  ~Capture() {
    std::fclose(file_);
    std::free(data_);
  }
  std::FILE *file() { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(data_, size_);
  }

 private:
  char *data_ = nullptr;
  size_t size_ = 0;
  std::FILE *file_;
};

class BusWatch : public testing::Test {
 protected:
  void SetUp() override {
    gst_init(nullptr, nullptr);
    pipeline_ = gst_pipeline_new("encoder");
    child_ = gst_bin_new("child");
    gst_bin_add(GST_BIN(pipeline_), child_);
    context_.pipeline = ElementRef(GST_ELEMENT(gst_object_ref(pipeline_)));
    // Marked running, so a quit is visible without running the loop.
    context_.main_loop = MainLoopRef(g_main_loop_new(nullptr, TRUE));
  }
  void TearDown() override {
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    gst_object_unref(pipeline_);
  }

  // Hands `message` (taken over) to the watch and returns what it wrote.
  std::string handle(GstMessage *message) {
    Capture capture;
    handle_bus_message(message, context_, capture.file());
    gst_message_unref(message);
    return capture.text();
  }
  bool loop_running() { return g_main_loop_is_running(context_.main_loop.get()); }

  GstElement *pipeline_ = nullptr;
  GstElement *child_ = nullptr;
  BusWatchContext context_;
};

GstMessage *error_message(GstObject *src, const char *text, const char *debug) {
  GError *error = g_error_new_literal(GST_LIBRARY_ERROR, GST_LIBRARY_ERROR_FAILED, text);
  GstMessage *message = gst_message_new_error(src, error, debug);
  g_error_free(error);
  return message;
}

TEST_F(BusWatch, EndOfStreamQuitsTheLoopSilently) {
  GstMessage *eos = gst_message_new_eos(GST_OBJECT(pipeline_));
  EXPECT_EQ(handle(eos), "");
  EXPECT_FALSE(loop_running());
  EXPECT_EQ(context_.outcome->end, RunEnd::EndOfStream);
}

TEST_F(BusWatch, ErrorStopsThePipelineWritesOneLineAndQuits) {
  ASSERT_NE(gst_element_set_state(pipeline_, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  std::string text = handle(error_message(GST_OBJECT(child_), "Failed to link decodebin srcpad",
                                          "Missing element vp8enc"));
  EXPECT_EQ(text, "Error! Failed to link decodebin srcpad: Some(\"Missing element vp8enc\")\n");
  GstState state = GST_STATE_VOID_PENDING;
  gst_element_get_state(pipeline_, &state, nullptr, 0);
  EXPECT_EQ(state, GST_STATE_NULL);
  EXPECT_FALSE(loop_running());
  EXPECT_EQ(context_.outcome->end, RunEnd::Error);
}

TEST_F(BusWatch, ErrorWithoutDebugTextRendersNone) {
  EXPECT_EQ(handle(error_message(GST_OBJECT(pipeline_), "Internal data stream error.", nullptr)),
            "Error! Internal data stream error.: None\n");
  EXPECT_FALSE(loop_running());
}

TEST_F(BusWatch, ErrorDebugTextIsEscapedAsAQuotedLiteral) {
  std::string text = handle(error_message(
      nullptr, "boom", "say \"hi\" at C:\\dir\nnext\tcol\r\x1b[0m caf\xC3\xA9 \x7f end"));
  EXPECT_EQ(text,
            "Error! boom: Some(\"say \\\"hi\\\" at C:\\\\dir\\nnext\\tcol\\r\\u{1b}[0m caf\xC3\xA9 "
            "\\u{7f} end\")\n");
}

TEST_F(BusWatch, EmptyDebugTextIsSomeOfEmpty) {
  EXPECT_EQ(handle(error_message(nullptr, "boom", "")), "Error! boom: Some(\"\")\n");
}

TEST_F(BusWatch, QuotedTextRendersBrokenUtf8AsReplacementCharacters) {
  EXPECT_EQ(quote_text("a\xFF" "b\xC3"), "\"a\xEF\xBF\xBD" "b\xEF\xBF\xBD\"");
  EXPECT_EQ(quote_text(std::string_view("x\0y", 3)), "\"x\\0y\"");
  EXPECT_EQ(debug_rendering(nullptr), "None");
}

TEST_F(BusWatch, InfoIsRenderedAsAWholeMessage) {
  GError *error = g_error_new_literal(GST_CORE_ERROR, GST_CORE_ERROR_FAILED, "note");
  GstMessage *info = gst_message_new_info(GST_OBJECT(child_), error, "details");
  g_error_free(error);
  gst_message_set_seqnum(info, 4711);
  char ptr[32];
  g_snprintf(ptr, sizeof ptr, "%p", static_cast<void *>(info));
  std::string text = handle(info);
  EXPECT_EQ(text, std::string("Info: Info(\n"
                              "    Message {\n"
                              "        ptr: ") +
                      ptr +
                      ",\n"
                      "        type: \"info\",\n"
                      "        seqnum: 4711,\n"
                      "        src: Some(\"child\"),\n"
                      "        structure: Some(\n"
                      "            GstMessageInfo {\n"
                      "                gerror: GError { domain: \"gst-core-error-quark\", code: 1, "
                      "message: \"note\" },\n"
                      "                debug: \"details\",\n"
                      "            },\n"
                      "        ),\n"
                      "    },\n"
                      ")\n");
  EXPECT_TRUE(loop_running());
}

TEST_F(BusWatch, InfoWithoutSourceAndWithOtherFieldTypes) {
  GstStructure *details = gst_structure_new("extra", "count", G_TYPE_INT, -3, "quoted", G_TYPE_STRING,
                                            "a\"b", nullptr);
  GstMessage *info = gst_message_new_info_with_details(nullptr, nullptr, nullptr, details);
  gst_message_set_seqnum(info, 7);
  char ptr[32];
  g_snprintf(ptr, sizeof ptr, "%p", static_cast<void *>(info));
  std::string text = handle(info);
  EXPECT_EQ(text, std::string("Info: Info(\n"
                              "    Message {\n"
                              "        ptr: ") +
                      ptr +
                      ",\n"
                      "        type: \"info\",\n"
                      "        seqnum: 7,\n"
                      "        src: None,\n"
                      "        structure: Some(\n"
                      "            GstMessageInfo {\n"
                      "                gerror: NULL,\n"
                      "                debug: NULL,\n"
                      "                details: (GstStructure)\"extra\\,\\ count\\=\\(int\\)-3\\,\\ "
                      "quoted\\=\\(string\\)\\\"a\\\\\\\"b\\\"\\;\",\n"
                      "            },\n"
                      "        ),\n"
                      "    },\n"
                      ")\n");
}

TEST_F(BusWatch, OtherMessagesAreIgnored) {
  GError *error = g_error_new_literal(GST_CORE_ERROR, GST_CORE_ERROR_FAILED, "careful");
  GstMessage *warning = gst_message_new_warning(GST_OBJECT(child_), error, "debug");
  g_error_free(error);
  EXPECT_EQ(handle(warning), "");
  EXPECT_EQ(handle(gst_message_new_async_done(GST_OBJECT(pipeline_), GST_CLOCK_TIME_NONE)), "");
  EXPECT_EQ(handle(gst_message_new_stream_start(GST_OBJECT(child_))), "");
  EXPECT_EQ(handle(gst_message_new_element(GST_OBJECT(child_), gst_structure_new_empty("x"))), "");
  EXPECT_TRUE(loop_running());
  EXPECT_EQ(context_.outcome->end, RunEnd::Running);
}

TEST_F(BusWatch, WatchFunctionKeepsTheWatchForEveryMessage) {
  GstMessage *eos = gst_message_new_eos(GST_OBJECT(pipeline_));
  EXPECT_TRUE(on_bus_message(nullptr, eos, &context_));
  gst_message_unref(eos);
  GstMessage *tag = gst_message_new_tag(nullptr, gst_tag_list_new_empty());
  EXPECT_TRUE(on_bus_message(nullptr, tag, &context_));
  gst_message_unref(tag);
}

GstMessage *state_changed(GstElement *src, GstState old_state, GstState new_state) {
  return gst_message_new_state_changed(src ? GST_OBJECT(src) : nullptr, old_state, new_state,
                                       GST_STATE_VOID_PENDING);
}

class BusWatchDump : public BusWatch {
 protected:
  void SetUp() override {
    BusWatch::SetUp();
    fs::remove(dump_);
  }
  const fs::path dump_ = dot_directory.path / "server-playing.dot";
};

TEST_F(BusWatchDump, OnlyThePipelineItselfReachingPlayingIsReported) {
  EXPECT_EQ(handle(state_changed(child_, GST_STATE_PAUSED, GST_STATE_PLAYING)), "");
  EXPECT_EQ(handle(state_changed(pipeline_, GST_STATE_READY, GST_STATE_PAUSED)), "");
  EXPECT_EQ(handle(state_changed(pipeline_, GST_STATE_PLAYING, GST_STATE_PAUSED)), "");
  EXPECT_EQ(handle(state_changed(nullptr, GST_STATE_PAUSED, GST_STATE_PLAYING)), "");
  EXPECT_FALSE(fs::exists(dump_));

  EXPECT_EQ(handle(state_changed(pipeline_, GST_STATE_PAUSED, GST_STATE_PLAYING)), "PLAYING\n");
  ASSERT_TRUE(fs::exists(dump_));
  EXPECT_TRUE(loop_running());
}

TEST_F(BusWatchDump, PlayingTwiceWritesTwiceAndDumpsTwice) {
  EXPECT_EQ(handle(state_changed(pipeline_, GST_STATE_PAUSED, GST_STATE_PLAYING)), "PLAYING\n");
  ASSERT_TRUE(fs::exists(dump_));
  fs::remove(dump_);
  EXPECT_EQ(handle(state_changed(pipeline_, GST_STATE_PLAYING, GST_STATE_PAUSED)), "");
  EXPECT_FALSE(fs::exists(dump_));
  EXPECT_EQ(handle(state_changed(pipeline_, GST_STATE_PAUSED, GST_STATE_PLAYING)), "PLAYING\n");
  EXPECT_TRUE(fs::exists(dump_));
}

TEST_F(BusWatchDump, TheDumpShowsTheChildrenAndTheirStates) {
  handle(state_changed(pipeline_, GST_STATE_PAUSED, GST_STATE_PLAYING));
  GError *error = nullptr;
  gchar *contents = nullptr;
  ASSERT_TRUE(g_file_get_contents(dump_.c_str(), &contents, nullptr, &error));
  std::string dot(contents);
  g_free(contents);
  EXPECT_EQ(dot.rfind("digraph pipeline {", 0), 0u);
  // The child with its state: states are shown only when asked for.
  EXPECT_NE(dot.find("label=\"GstBin\\nchild\\n[0]\";"), std::string::npos);
}

// Counts the pipeline's latency recalculations and answers with `result`.
struct LatencyProbe {
  int calls = 0;
  gboolean result = TRUE;
  static gboolean on_do_latency(GstBin *, gpointer data) {
    auto *probe = static_cast<LatencyProbe *>(data);
    ++probe->calls;
    return probe->result;
  }
};

TEST_F(BusWatch, EachLatencyMessageRecalculatesOnce) {
  LatencyProbe probe;
  g_signal_connect(pipeline_, "do-latency", G_CALLBACK(LatencyProbe::on_do_latency), &probe);
  EXPECT_EQ(handle(gst_message_new_latency(GST_OBJECT(child_))), "Redistributing latency\n");
  EXPECT_EQ(probe.calls, 1);
  EXPECT_EQ(handle(gst_message_new_latency(GST_OBJECT(pipeline_))), "Redistributing latency\n");
  EXPECT_EQ(probe.calls, 2);
  EXPECT_TRUE(loop_running());
}

TEST_F(BusWatch, FailedRecalculationIsAWarningAndTheWatchGoesOn) {
  LatencyProbe probe;
  probe.result = FALSE;
  g_signal_connect(pipeline_, "do-latency", G_CALLBACK(LatencyProbe::on_do_latency), &probe);
  EXPECT_EQ(handle(gst_message_new_latency(GST_OBJECT(child_))),
            "Redistributing latency\nWarning, failed to redistribute latency\n");
  EXPECT_EQ(probe.calls, 1);
  EXPECT_TRUE(loop_running());
  EXPECT_EQ(context_.outcome->end, RunEnd::Running);
}

// An element that refuses to go back to NULL while `stuck_refuses_null` holds.
bool stuck_refuses_null = true;
struct StuckElement {
  GstElement parent;
};
struct StuckElementClass {
  GstElementClass parent_class;
};
G_DEFINE_TYPE(StuckElement, stuck_element, GST_TYPE_ELEMENT)
GstStateChangeReturn stuck_element_change_state(GstElement *element, GstStateChange transition) {
  if (transition == GST_STATE_CHANGE_READY_TO_NULL && stuck_refuses_null)
    return GST_STATE_CHANGE_FAILURE;
  return GST_ELEMENT_CLASS(stuck_element_parent_class)->change_state(element, transition);
}
void stuck_element_class_init(StuckElementClass *klass) {
  GST_ELEMENT_CLASS(klass)->change_state = stuck_element_change_state;
}
void stuck_element_init(StuckElement *) {}

TEST_F(BusWatch, PipelineRefusingNullOnErrorIsAFatalStop) {
  gst_bin_add(GST_BIN(pipeline_), GST_ELEMENT(g_object_new(stuck_element_get_type(), nullptr)));
  gst_element_set_state(pipeline_, GST_STATE_READY);
  EXPECT_EQ(handle(error_message(GST_OBJECT(child_), "boom", nullptr)), "");
  EXPECT_FALSE(loop_running());
  EXPECT_EQ(context_.outcome->end, RunEnd::FatalStop);
  EXPECT_EQ(context_.outcome->fatal_text, "Unable to set the pipeline to the `Null` state");
  stuck_refuses_null = false;  // so the fixture can take it down
}

TEST_F(BusWatch, PostedFatalStopEndsTheRunAndNothingIsShownAfterIt) {
  BusRef bus(gst_element_get_bus(pipeline_));
  post_fatal_stop(bus.get(), "NERKO_BOOST must be \"true\" or \"false\", got \"1\"");
  EXPECT_EQ(handle(gst_bus_pop(bus.get())), "");
  EXPECT_FALSE(loop_running());
  EXPECT_EQ(context_.outcome->end, RunEnd::FatalStop);
  EXPECT_EQ(context_.outcome->fatal_text, "NERKO_BOOST must be \"true\" or \"false\", got \"1\"");
  EXPECT_EQ(handle(error_message(GST_OBJECT(child_), "boom", nullptr)), "");
  EXPECT_EQ(handle(gst_message_new_eos(GST_OBJECT(pipeline_))), "");
  EXPECT_EQ(context_.outcome->end, RunEnd::FatalStop);
}

}  // namespace
}  // namespace nerko
