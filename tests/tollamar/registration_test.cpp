// What GStreamer's registry knows about the plug-in after it is registered:
// its descriptor, exactly two factories, their metadata and pad templates.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tollamar_support.h"

using namespace tollamar_test;

namespace {

const std::vector<std::string> kVideoFormats = {
    "AYUV64", "ARGB64", "GBRA_12LE", "GBRA_12BE", "Y412_LE", "Y412_BE", "A444_10LE",
    "GBRA_10LE", "A444_10BE", "GBRA_10BE", "A422_10LE", "A422_10BE", "A420_10LE",
    "A420_10BE", "RGB10A2_LE", "BGR10A2_LE", "Y410", "GBRA", "ABGR", "VUYA", "BGRA",
    "AYUV", "ARGB", "RGBA", "A420", "Y444_16LE", "Y444_16BE", "v216", "P016_LE",
    "P016_BE", "Y444_12LE", "GBR_12LE", "Y444_12BE", "GBR_12BE", "I422_12LE",
    "I422_12BE", "Y212_LE", "Y212_BE", "I420_12LE", "I420_12BE", "P012_LE", "P012_BE",
    "Y444_10LE", "GBR_10LE", "Y444_10BE", "GBR_10BE", "r210", "I422_10LE", "I422_10BE",
    "NV16_10LE32", "Y210", "v210", "UYVP", "I420_10LE", "I420_10BE", "P010_10LE",
    "NV12_10LE32", "NV12_10LE40", "P010_10BE", "Y444", "GBR", "RGBP", "BGRP", "NV24",
    "xBGR", "BGRx", "xRGB", "RGBx", "BGR", "IYU2", "v308", "RGB", "Y42B", "NV61", "NV16",
    "VYUY", "UYVY", "YVYU", "YUY2", "I420", "YV12", "NV21", "NV12", "NV12_64Z32",
    "NV12_4L4", "NV12_32L32", "AV12", "Y41B", "IYU1", "YVU9", "YUV9", "RGB16", "BGR16",
    "RGB15", "BGR15", "RGB8P", "GRAY16_LE", "GRAY16_BE", "GRAY10_LE32", "GRAY8"};

const std::vector<std::string> kAudioFormats = {
    "F64LE", "F64BE", "F32LE", "F32BE", "S32LE", "S32BE", "U32LE", "U32BE",
    "S24_32LE", "S24_32BE", "U24_32LE", "U24_32BE", "S24LE", "S24BE", "U24LE", "U24BE",
    "S20LE", "S20BE", "U20LE", "U20BE", "S18LE", "S18BE", "U18LE", "U18BE",
    "S16LE", "S16BE", "U16LE", "U16BE", "S8", "U8"};

std::vector<std::string> string_list(const GstStructure *s, const char *field) {
  std::vector<std::string> out;
  const GValue *list = gst_structure_get_value(s, field);
  EXPECT_TRUE(list && GST_VALUE_HOLDS_LIST(list)) << field << " is not a list";
  if (!list || !GST_VALUE_HOLDS_LIST(list)) return out;
  for (guint i = 0; i < gst_value_list_get_size(list); i++)
    out.emplace_back(g_value_get_string(gst_value_list_get_value(list, i)));
  return out;
}

void expect_int_range(const GstStructure *s, const char *field) {
  const GValue *v = gst_structure_get_value(s, field);
  ASSERT_TRUE(v && GST_VALUE_HOLDS_INT_RANGE(v)) << field;
  EXPECT_EQ(gst_value_get_int_range_min(v), 1) << field;
  EXPECT_EQ(gst_value_get_int_range_max(v), G_MAXINT) << field;
  EXPECT_EQ(gst_value_get_int_range_step(v), 1) << field;
}

struct TemplateExpectation {
  const char *name;
  GstPadDirection direction;
};

// Both templates of one factory, in installation order, with equal caps.
std::vector<GstCaps *> check_templates(const char *factory_name) {
  std::vector<GstCaps *> caps;
  ObjectRef<GstElementFactory> factory(gst_element_factory_find(factory_name));
  EXPECT_TRUE(factory);
  if (!factory) return caps;
  const GList *templates = gst_element_factory_get_static_pad_templates(factory.get());
  EXPECT_EQ(g_list_length(const_cast<GList *>(templates)), 2u);
  const TemplateExpectation expected[] = {{"sink", GST_PAD_SINK}, {"src", GST_PAD_SRC}};
  int i = 0;
  for (const GList *l = templates; l && i < 2; l = l->next, i++) {
    auto *t = static_cast<GstStaticPadTemplate *>(l->data);
    EXPECT_STREQ(t->name_template, expected[i].name);
    EXPECT_EQ(t->direction, expected[i].direction);
    EXPECT_EQ(t->presence, GST_PAD_ALWAYS);
    caps.push_back(gst_static_caps_get(&t->static_caps));
  }
  if (caps.size() == 2) {
    EXPECT_TRUE(gst_caps_is_strictly_equal(caps[0], caps[1]));
  }
  return caps;
}

}  // namespace

TEST(TollamarRegistration, DescriptorCarriesThePluginIdentity) {
  const GstPluginDesc *desc = test_support::tollamar_plugin_desc();
  ASSERT_NE(desc, nullptr);
  EXPECT_EQ(desc->major_version, 1);
  EXPECT_EQ(desc->minor_version, 19);
  EXPECT_STREQ(desc->name, "tollamar");
  EXPECT_STREQ(desc->description, "Tollamar");
  EXPECT_NE(desc->plugin_init, nullptr);
  EXPECT_STREQ(desc->version, "1.19.0.1");
  EXPECT_STREQ(desc->license, "LGPL");
  EXPECT_STREQ(desc->source, "gst-plugins-bad");
  EXPECT_STREQ(desc->package, "GStreamer Bad Plug-ins git");
  EXPECT_STREQ(desc->origin, "Unknown package origin");
  EXPECT_EQ(desc->release_datetime, nullptr);
}

TEST(TollamarRegistration, LoadedPluginCarriesTheDescriptorValues) {
  ObjectRef<GstPlugin> plugin(gst_registry_find_plugin(gst_registry_get(), "tollamar"));
  ASSERT_TRUE(plugin);
  EXPECT_STREQ(gst_plugin_get_description(plugin.get()), "Tollamar");
  EXPECT_STREQ(gst_plugin_get_version(plugin.get()), "1.19.0.1");
  EXPECT_STREQ(gst_plugin_get_license(plugin.get()), "LGPL");
  EXPECT_STREQ(gst_plugin_get_source(plugin.get()), "gst-plugins-bad");
  EXPECT_STREQ(gst_plugin_get_package(plugin.get()), "GStreamer Bad Plug-ins git");
  EXPECT_STREQ(gst_plugin_get_origin(plugin.get()), "Unknown package origin");
  EXPECT_TRUE(gst_plugin_is_loaded(plugin.get()));
  EXPECT_STREQ(gst_plugin_get_filename(plugin.get()), TOLLAMAR_PLUGIN_FILE);
}

TEST(TollamarRegistration, PluginRegistersExactlyTheTwoFactoriesWithRankNone) {
  GList *features = gst_registry_get_feature_list_by_plugin(gst_registry_get(), "tollamar");
  std::vector<std::string> names;
  for (GList *l = features; l; l = l->next) {
    auto *feature = GST_PLUGIN_FEATURE(l->data);
    EXPECT_TRUE(GST_IS_ELEMENT_FACTORY(feature));
    EXPECT_EQ(gst_plugin_feature_get_rank(feature), GST_RANK_NONE);
    names.emplace_back(gst_plugin_feature_get_name(feature));
  }
  gst_plugin_feature_list_free(features);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"liveaudiorate", "livevideorate"}));
}

TEST(TollamarRegistration, FactoriesMakeTheTwoTypes) {
  ObjectRef<GstElementFactory> audio(gst_element_factory_find("liveaudiorate"));
  ObjectRef<GstElementFactory> video(gst_element_factory_find("livevideorate"));
  ASSERT_TRUE(audio);
  ASSERT_TRUE(video);
  GType audio_type = gst_element_factory_get_element_type(audio.get());
  GType video_type = gst_element_factory_get_element_type(video.get());
  EXPECT_STREQ(g_type_name(audio_type), "GstLiveAudioRate");
  EXPECT_STREQ(g_type_name(video_type), "GstLiveVideoRate");
  EXPECT_EQ(g_type_parent(audio_type), GST_TYPE_ELEMENT);
  EXPECT_EQ(g_type_parent(video_type), GST_TYPE_ELEMENT);
  // The element offers a clock but does not announce itself as a provider.
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  EXPECT_FALSE(GST_OBJECT_FLAG_IS_SET(element.get(), GST_ELEMENT_FLAG_PROVIDE_CLOCK));
  ObjectRef<GstClock> clock(gst_element_provide_clock(element.get()));
  ObjectRef<GstClock> system(gst_system_clock_obtain());
  EXPECT_EQ(clock.get(), system.get());
}

TEST(TollamarRegistration, FactoriesCarryTheirMetadata) {
  ObjectRef<GstElementFactory> audio(gst_element_factory_find("liveaudiorate"));
  ObjectRef<GstElementFactory> video(gst_element_factory_find("livevideorate"));
  ASSERT_TRUE(audio);
  ASSERT_TRUE(video);
  EXPECT_STREQ(gst_element_factory_get_metadata(audio.get(), GST_ELEMENT_METADATA_LONGNAME),
               "Live audio rate");
  EXPECT_STREQ(gst_element_factory_get_metadata(audio.get(), GST_ELEMENT_METADATA_KLASS),
               "Filter/Audio");
  EXPECT_STREQ(gst_element_factory_get_metadata(audio.get(), GST_ELEMENT_METADATA_DESCRIPTION),
               "Generates a continuous live audio stream");
  EXPECT_STREQ(gst_element_factory_get_metadata(video.get(), GST_ELEMENT_METADATA_LONGNAME),
               "Live video rate");
  EXPECT_STREQ(gst_element_factory_get_metadata(video.get(), GST_ELEMENT_METADATA_KLASS),
               "Filter/Video");
  EXPECT_STREQ(gst_element_factory_get_metadata(video.get(), GST_ELEMENT_METADATA_DESCRIPTION),
               "Generates a continuous live video stream");
  for (auto *f : {audio.get(), video.get()}) {
    const gchar *author = gst_element_factory_get_metadata(f, GST_ELEMENT_METADATA_AUTHOR);
    ASSERT_NE(author, nullptr);
    EXPECT_NE(std::string(author), "");
  }
}

TEST(TollamarRegistration, VideoTemplatesAcceptRawVideoInAnyMemoryWithTheHundredFormats) {
  std::vector<GstCaps *> caps = check_templates("livevideorate");
  ASSERT_EQ(caps.size(), 2u);
  ASSERT_EQ(gst_caps_get_size(caps[0]), 1u);
  const GstStructure *s = gst_caps_get_structure(caps[0], 0);
  EXPECT_STREQ(gst_structure_get_name(s), "video/x-raw");
  EXPECT_TRUE(gst_caps_features_is_any(gst_caps_get_features(caps[0], 0)));
  EXPECT_EQ(gst_structure_n_fields(s), 4);
  std::vector<std::string> formats = string_list(s, "format");
  EXPECT_EQ(formats.size(), 100u);
  EXPECT_EQ(formats, kVideoFormats);
  expect_int_range(s, "width");
  expect_int_range(s, "height");
  const GValue *fr = gst_structure_get_value(s, "framerate");
  ASSERT_TRUE(fr && GST_VALUE_HOLDS_FRACTION_RANGE(fr));
  const GValue *lo = gst_value_get_fraction_range_min(fr);
  const GValue *hi = gst_value_get_fraction_range_max(fr);
  EXPECT_EQ(gst_value_get_fraction_numerator(lo), 0);
  EXPECT_EQ(gst_value_get_fraction_denominator(lo), 1);
  EXPECT_EQ(gst_value_get_fraction_numerator(hi), G_MAXINT);
  EXPECT_EQ(gst_value_get_fraction_denominator(hi), 1);
  for (GstCaps *c : caps) gst_caps_unref(c);
}

TEST(TollamarRegistration, AudioTemplatesAcceptRawAudioWithTheThirtyFormats) {
  std::vector<GstCaps *> caps = check_templates("liveaudiorate");
  ASSERT_EQ(caps.size(), 2u);
  ASSERT_EQ(gst_caps_get_size(caps[0]), 1u);
  const GstStructure *s = gst_caps_get_structure(caps[0], 0);
  EXPECT_STREQ(gst_structure_get_name(s), "audio/x-raw");
  EXPECT_TRUE(gst_caps_features_is_equal(gst_caps_get_features(caps[0], 0),
                                         GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY));
  EXPECT_EQ(gst_structure_n_fields(s), 4);
  std::vector<std::string> formats = string_list(s, "format");
  EXPECT_EQ(formats.size(), 30u);
  EXPECT_EQ(formats, kAudioFormats);
  expect_int_range(s, "rate");
  expect_int_range(s, "channels");
  EXPECT_EQ(string_list(s, "layout"),
            (std::vector<std::string>{"interleaved", "non-interleaved"}));
  for (GstCaps *c : caps) gst_caps_unref(c);
}

TEST(TollamarRegistration, BothPadsExistFromConstructionAndProxyCaps) {
  for (const char *name : {"liveaudiorate", "livevideorate"}) {
    ObjectRef<GstElement> element(make_element(name));
    ASSERT_TRUE(element);
    EXPECT_EQ(element->numpads, 2) << name;
    EXPECT_EQ(element->numsinkpads, 1) << name;
    EXPECT_EQ(element->numsrcpads, 1) << name;
    ObjectRef<GstPad> sink(gst_element_get_static_pad(element.get(), "sink"));
    ObjectRef<GstPad> src(gst_element_get_static_pad(element.get(), "src"));
    ASSERT_TRUE(sink);
    ASSERT_TRUE(src);
    EXPECT_EQ(GST_PAD_DIRECTION(sink.get()), GST_PAD_SINK) << name;
    EXPECT_EQ(GST_PAD_DIRECTION(src.get()), GST_PAD_SRC) << name;
    EXPECT_TRUE(GST_PAD_IS_PROXY_CAPS(sink.get())) << name;
    EXPECT_TRUE(GST_PAD_IS_PROXY_CAPS(src.get())) << name;
    GstElementClass *klass = GST_ELEMENT_GET_CLASS(element.get());
    for (GList *l = gst_element_class_get_pad_template_list(klass); l; l = l->next)
      EXPECT_EQ(GST_PAD_TEMPLATE_PRESENCE(l->data), GST_PAD_ALWAYS) << name;
  }
}

TEST(TollamarRegistration, CapsQueriesAreAnsweredThroughTheOtherPadsPeer) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  // Downstream accepts only 640x480 I420; upstream asks what it may send.
  GstHarness *h = gst_harness_new_with_element(element.get(), "sink", "src");
  Harness harness(h);
  gst_harness_set_sink_caps_str(h, "video/x-raw, format=I420, width=640, height=480");
  MiniRef<GstCaps> upstream_view(gst_pad_peer_query_caps(h->srcpad, nullptr));
  ASSERT_TRUE(upstream_view);
  MiniRef<GstCaps> expected(gst_caps_from_string(
      "video/x-raw, format=I420, width=640, height=480, framerate=(fraction)[0/1, 2147483647/1]"));
  EXPECT_TRUE(gst_caps_is_equal(upstream_view.get(), expected.get()))
      << gst_caps_to_string(upstream_view.get());
  // Downstream, looking up, sees what upstream (the harness source) allows.
  gst_harness_set_src_caps_str(h, "video/x-raw, format=NV12, width=8, height=8, framerate=5/1");
  MiniRef<GstCaps> downstream_view(gst_pad_peer_query_caps(h->sinkpad, nullptr));
  MiniRef<GstCaps> nv12(gst_caps_from_string(
      "video/x-raw, format=NV12, width=8, height=8, framerate=5/1"));
  EXPECT_TRUE(gst_caps_is_equal(downstream_view.get(), nv12.get()))
      << gst_caps_to_string(downstream_view.get());
}

TEST(TollamarRegistration, OneDebugCategoryNamedTollamar) {
  GstDebugCategory *category = _gst_debug_get_category("tollamar");
  ASSERT_NE(category, nullptr);
  // Only one of that name: GStreamer's list of categories names it once.
  int named = 0;
  GSList *all = gst_debug_get_all_categories();
  for (GSList *l = all; l; l = l->next)
    named += g_str_equal(gst_debug_category_get_name(static_cast<GstDebugCategory *>(l->data)), "tollamar");
  g_slist_free(all);
  EXPECT_EQ(named, 1);
  EXPECT_STREQ(gst_debug_category_get_description(category), "Live audio/video element");
  EXPECT_EQ(gst_debug_category_get_color(category), 0u);
}
