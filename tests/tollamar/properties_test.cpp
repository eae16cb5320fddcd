// The properties of both elements: ids, texts, ranges, defaults, the
// fill-mode enumeration and how values read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tollamar_support.h"

using namespace tollamar_test;

namespace {

GParamSpec *find(GstElement *element, const char *name) {
  return g_object_class_find_property(G_OBJECT_GET_CLASS(element), name);
}

// The values of "fill-mode".
constexpr gint kLastFrame = 0;
constexpr gint kBlack = 1;

// The fill-mode enumeration, as the video element's property declares it.
GType fill_mode_type() {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  return find(element.get(), "fill-mode")->value_type;
}

void expect_plain_flags(GParamSpec *pspec) {
  const GParamFlags expected =
      static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  EXPECT_EQ(pspec->flags & ~G_PARAM_DEPRECATED, expected) << pspec->name;
  EXPECT_FALSE(pspec->flags & G_PARAM_CONSTRUCT_ONLY) << pspec->name;
  EXPECT_FALSE(pspec->flags & GST_PARAM_CONTROLLABLE) << pspec->name;
}

// The properties the element type itself installs, by name.
std::vector<std::string> own_properties(GstElement *element) {
  guint n = 0;
  GParamSpec **specs = g_object_class_list_properties(G_OBJECT_GET_CLASS(element), &n);
  std::vector<std::string> names;
  for (guint i = 0; i < n; i++)
    if (specs[i]->owner_type == G_OBJECT_TYPE(element)) names.emplace_back(specs[i]->name);
  g_free(specs);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(TollamarProperties, BothElementsShareMaxLatenessAndSkipToFirst) {
  for (const char *name : {"liveaudiorate", "livevideorate"}) {
    ObjectRef<GstElement> element(make_element(name));
    ASSERT_TRUE(element);
    GParamSpec *lateness = find(element.get(), "max-lateness");
    ASSERT_NE(lateness, nullptr);
    EXPECT_EQ(lateness->param_id, 1u);
    EXPECT_EQ(lateness->value_type, G_TYPE_UINT64);
    EXPECT_STREQ(g_param_spec_get_nick(lateness), "Maximum Lateness");
    EXPECT_STREQ(g_param_spec_get_blurb(lateness),
                 "Maximum lateness allowed for upstream buffers, must be smaller than latency");
    auto *u64 = G_PARAM_SPEC_UINT64(lateness);
    EXPECT_EQ(u64->minimum, 0u);
    EXPECT_EQ(u64->maximum, G_MAXUINT64);
    EXPECT_EQ(u64->default_value, 200000000u);
    expect_plain_flags(lateness);

    GParamSpec *skip = find(element.get(), "skip-to-first");
    ASSERT_NE(skip, nullptr);
    EXPECT_EQ(skip->param_id, 2u);
    EXPECT_EQ(skip->value_type, G_TYPE_BOOLEAN);
    EXPECT_STREQ(g_param_spec_get_nick(skip), "Skip to first");
    EXPECT_STREQ(g_param_spec_get_blurb(skip),
                 "Don't produce buffers before the first one we receive");
    EXPECT_FALSE(G_PARAM_SPEC_BOOLEAN(skip)->default_value);
    expect_plain_flags(skip);
  }
}

TEST(TollamarProperties, VideoHasFillModeAsThirdPropertyAndNoFillFramerate) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  EXPECT_EQ(own_properties(element.get()),
            (std::vector<std::string>{"fill-mode", "max-lateness", "skip-to-first"}));
  EXPECT_EQ(find(element.get(), "fill-framerate"), nullptr);
  GParamSpec *mode = find(element.get(), "fill-mode");
  ASSERT_NE(mode, nullptr);
  EXPECT_EQ(mode->param_id, 3u);
  EXPECT_STREQ(g_type_name(mode->value_type), "GstLiveVideoRateFillMode");
  EXPECT_STREQ(g_param_spec_get_nick(mode), "Fill Mode");
  EXPECT_STREQ(g_param_spec_get_blurb(mode),
               "Fill Mode to use when input buffer is too late. If there is no previous "
               "frame to use, black frame be filled regardless of this property");
  EXPECT_EQ(G_PARAM_SPEC_ENUM(mode)->default_value, 1);
  expect_plain_flags(mode);
}

TEST(TollamarProperties, AudioHasFillFramerateAsThirdPropertyAndNoFillMode) {
  ObjectRef<GstElement> element(make_element("liveaudiorate"));
  ASSERT_TRUE(element);
  EXPECT_EQ(own_properties(element.get()),
            (std::vector<std::string>{"fill-framerate", "max-lateness", "skip-to-first"}));
  EXPECT_EQ(find(element.get(), "fill-mode"), nullptr);
  GParamSpec *rate = find(element.get(), "fill-framerate");
  ASSERT_NE(rate, nullptr);
  EXPECT_EQ(rate->param_id, 3u);
  ASSERT_TRUE(GST_IS_PARAM_SPEC_FRACTION(rate));
  EXPECT_STREQ(g_param_spec_get_nick(rate), "Fill Buffer Framerate");
  EXPECT_STREQ(g_param_spec_get_blurb(rate), "Fill buffer framerate");
  auto *f = GST_PARAM_SPEC_FRACTION(rate);
  EXPECT_EQ(f->min_num, 0);
  EXPECT_EQ(f->min_den, 1);
  EXPECT_EQ(f->max_num, G_MAXINT);
  EXPECT_EQ(f->max_den, 1);
  EXPECT_EQ(f->def_num, 25);
  EXPECT_EQ(f->def_den, 1);
  expect_plain_flags(rate);
}

TEST(TollamarProperties, NewElementsReportTheDefaults) {
  ObjectRef<GstElement> video(make_element("livevideorate"));
  ObjectRef<GstElement> audio(make_element("liveaudiorate"));
  ASSERT_TRUE(video);
  ASSERT_TRUE(audio);
  guint64 lateness = 0;
  gboolean skip = TRUE;
  gint mode = -1;
  g_object_get(video.get(), "max-lateness", &lateness, "skip-to-first", &skip, "fill-mode",
               &mode, nullptr);
  EXPECT_EQ(lateness, 200000000u);
  EXPECT_FALSE(skip);
  EXPECT_EQ(mode, kBlack);

  GValue rate = G_VALUE_INIT;
  g_value_init(&rate, GST_TYPE_FRACTION);
  g_object_get_property(G_OBJECT(audio.get()), "fill-framerate", &rate);
  EXPECT_EQ(gst_value_get_fraction_numerator(&rate), 25);
  EXPECT_EQ(gst_value_get_fraction_denominator(&rate), 1);
  g_value_unset(&rate);
  g_object_get(audio.get(), "max-lateness", &lateness, "skip-to-first", &skip, nullptr);
  EXPECT_EQ(lateness, 200000000u);
  EXPECT_FALSE(skip);
}

TEST(TollamarProperties, NewElementsStartWithTheResetInstanceState) {
  for (const char *name : {"liveaudiorate", "livevideorate"}) {
    ObjectRef<GstElement> element(make_element(name));
    ASSERT_TRUE(element);
    // Played at once, it knows nothing of a stream: it invents the stream's
    // head and fills from the running time of PLAYING, one undistorted slot
    // of its 25/1 rate each, due max-lateness later (no latency known yet).
    Downstream downstream(element.get());
    ObjectRef<GstClock> clock(gst_test_clock_new());
    gst_element_set_clock(element.get(), clock.get());
    gst_element_set_base_time(element.get(), 0);
    ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
    GstClockID id = nullptr;
    gst_test_clock_wait_for_next_pending_id(GST_TEST_CLOCK(clock.get()), &id);
    EXPECT_EQ(gst_clock_id_get_time(id), 200 * GST_MSECOND - 1) << name;
    gst_clock_id_unref(id);
    gst_test_clock_crank(GST_TEST_CLOCK(clock.get()));
    ASSERT_TRUE(downstream.wait_for_buffers(1));
    EXPECT_EQ(downstream.buffer_pts(), std::vector<GstClockTime>{0}) << name;
    EXPECT_EQ(downstream.event_types(),
              (std::vector<GstEventType>{GST_EVENT_STREAM_START, GST_EVENT_CAPS, GST_EVENT_SEGMENT}))
        << name;
    gst_test_clock_wait_for_next_pending_id(GST_TEST_CLOCK(clock.get()), &id);
    EXPECT_EQ(gst_clock_id_get_time(id), 240 * GST_MSECOND - 1) << name;
    gst_clock_id_unref(id);
    gst_element_set_state(element.get(), GST_STATE_NULL);
  }
}

TEST(TollamarProperties, FillModeEnumerationHasTheTwoModes) {
  GType type = fill_mode_type();
  EXPECT_STREQ(g_type_name(type), "GstLiveVideoRateFillMode");
  auto *klass = static_cast<GEnumClass *>(g_type_class_ref(type));
  ASSERT_EQ(klass->n_values, 2u);
  GEnumValue *last = g_enum_get_value(klass, 0);
  GEnumValue *black = g_enum_get_value(klass, 1);
  ASSERT_NE(last, nullptr);
  ASSERT_NE(black, nullptr);
  EXPECT_STREQ(last->value_name, "Last Frame");
  EXPECT_STREQ(last->value_nick, "last-frame");
  EXPECT_STREQ(black->value_name, "Black Frame");
  EXPECT_STREQ(black->value_nick, "black");
  g_type_class_unref(klass);
}

TEST(TollamarProperties, FillModeAcceptsTheNicksAndNamesFromText) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  const struct {
    const char *text;
    gint value;
  } accepted[] = {{"last-frame", 0}, {"black", 1}, {"Last Frame", 0}, {"Black Frame", 1}};
  for (const auto &a : accepted) {
    // Start from the other value so that a refused text cannot pass.
    g_object_set(element.get(), "fill-mode", 1 - a.value, nullptr);
    gst_util_set_object_arg(G_OBJECT(element.get()), "fill-mode", a.text);
    gint mode = -1;
    g_object_get(element.get(), "fill-mode", &mode, nullptr);
    EXPECT_EQ(mode, a.value) << a.text;
  }
}

TEST(TollamarProperties, FillModeRefusesOtherText) {
  for (const char *text : {"blue", "Black", "BLACK", "last_frame", "black-frame", "2"}) {
    GValue value = G_VALUE_INIT;
    g_value_init(&value, fill_mode_type());
    EXPECT_FALSE(gst_value_deserialize(&value, text)) << text;
    g_value_unset(&value);
  }
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  g_object_set(element.get(), "fill-mode", kLastFrame, nullptr);
  gst_util_set_object_arg(G_OBJECT(element.get()), "fill-mode", "blue");
  gint mode = -1;
  g_object_get(element.get(), "fill-mode", &mode, nullptr);
  EXPECT_EQ(mode, kLastFrame);
}

TEST(TollamarProperties, FillFramerateAcceptsTheEndsOfItsRange) {
  ObjectRef<GstElement> element(make_element("liveaudiorate"));
  ASSERT_TRUE(element);
  for (gint num : {0, G_MAXINT, 50}) {
    g_object_set(element.get(), "fill-framerate", num, 1, nullptr);
    GValue rate = G_VALUE_INIT;
    g_value_init(&rate, GST_TYPE_FRACTION);
    g_object_get_property(G_OBJECT(element.get()), "fill-framerate", &rate);
    EXPECT_EQ(gst_value_get_fraction_numerator(&rate), num);
    EXPECT_EQ(gst_value_get_fraction_denominator(&rate), 1);
    g_value_unset(&rate);
  }
}

TEST(TollamarProperties, ValuesReadBackAsSet) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  g_object_set(element.get(), "max-lateness", G_MAXUINT64, "skip-to-first", TRUE, "fill-mode",
               kLastFrame, nullptr);
  guint64 lateness = 0;
  gboolean skip = FALSE;
  gint mode = -1;
  g_object_get(element.get(), "max-lateness", &lateness, "skip-to-first", &skip, "fill-mode",
               &mode, nullptr);
  EXPECT_EQ(lateness, G_MAXUINT64);
  EXPECT_TRUE(skip);
  EXPECT_EQ(mode, kLastFrame);
  g_object_set(element.get(), "max-lateness", G_GUINT64_CONSTANT(0), nullptr);
  g_object_get(element.get(), "max-lateness", &lateness, nullptr);
  EXPECT_EQ(lateness, 0u);
}

TEST(TollamarProperties, PropertiesMayChangeWhileThePipelineRuns) {
  ObjectRef<GstElement> element(make_element("liveaudiorate"));
  ASSERT_TRUE(element);
  Harness h(gst_harness_new_with_element(element.get(), "sink", "src"));
  GstState state = GST_STATE_NULL;
  gst_element_get_state(element.get(), &state, nullptr, 0);
  ASSERT_EQ(state, GST_STATE_PLAYING);
  g_object_set(element.get(), "max-lateness", G_GUINT64_CONSTANT(5000000), "skip-to-first", TRUE,
               "fill-framerate", 10, 1, nullptr);
  guint64 lateness = 0;
  gboolean skip = FALSE;
  GValue rate = G_VALUE_INIT;
  g_value_init(&rate, GST_TYPE_FRACTION);
  g_object_get(element.get(), "max-lateness", &lateness, "skip-to-first", &skip, nullptr);
  g_object_get_property(G_OBJECT(element.get()), "fill-framerate", &rate);
  EXPECT_EQ(lateness, 5000000u);
  EXPECT_TRUE(skip);
  EXPECT_EQ(gst_value_get_fraction_numerator(&rate), 10);
  EXPECT_EQ(gst_value_get_fraction_denominator(&rate), 1);
  g_value_unset(&rate);
}

// Nothing but a first buffer releases the output in skip-to-first mode;
// turned off before one came, the element starts as PLAYING does without it,
// or upstream would block for good once the queue fills.
TEST(TollamarProperties, TurningSkipToFirstOffWhileWaitingForTheFirstBufferStartsTheOutput) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  Downstream downstream(element.get());
  ObjectRef<GstClock> clock(gst_test_clock_new_with_start_time(3 * GST_SECOND));
  gst_element_set_clock(element.get(), clock.get());
  gst_element_set_base_time(element.get(), 1 * GST_SECOND);
  g_object_set(element.get(), "skip-to-first", TRUE, nullptr);
  ASSERT_NE(gst_element_set_state(element.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  // Held for the first buffer: the task does not wait on the clock.
  EXPECT_EQ(gst_test_clock_peek_id_count(GST_TEST_CLOCK(clock.get())), 0u);

  g_object_set(element.get(), "skip-to-first", FALSE, nullptr);
  // Running now, on a grid from the running time of the change, 2 s.
  GstClockID id = nullptr;
  gst_test_clock_wait_for_next_pending_id(GST_TEST_CLOCK(clock.get()), &id);
  EXPECT_EQ(gst_clock_id_get_time(id), 1 * GST_SECOND + 2 * GST_SECOND + 200 * GST_MSECOND - 1);
  gst_clock_id_unref(id);
  gst_test_clock_crank(GST_TEST_CLOCK(clock.get()));
  ASSERT_TRUE(downstream.wait_for_buffers(1));
  EXPECT_EQ(downstream.buffer_pts(), std::vector<GstClockTime>{2 * GST_SECOND});
  gst_element_set_state(element.get(), GST_STATE_NULL);
}
