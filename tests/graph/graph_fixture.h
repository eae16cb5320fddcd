// A real pipeline with an rtpbin (answering "request-fec-encoder" as the
// program does) and a decoder-like bin whose source pads carry fixed caps, so
// branches are built exactly as on a decoder's streaming thread, without
// media or network.
#pragma once

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "encoder/control/fatal.h"
#include "encoder/control/gst_ref.h"
#include "encoder/control/stream_sinks.h"
#include "encoder/graph/branch.h"
#include "encoder/graph/fec.h"
#include "support/captured_file.h"

namespace nerko::test {

// Sets or unsets environment variables for one scope and restores them.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;
  ~ScopedEnv() {
    for (auto &[name, old] : saved_) {
      if (old)
        setenv(name.c_str(), old->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
  }
  void set(const char *name, const char *value) {
    remember(name);
    setenv(name, value, 1);
  }
  void unset(const char *name) {
    remember(name);
    unsetenv(name);
  }

 private:
  void remember(const char *name) {
    if (saved_.count(name))
      return;
    const char *old = std::getenv(name);
    saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

// Every NERKO_ variable unset, so a developer's shell cannot change results.
inline void clear_nerko_settings(ScopedEnv &env) {
  for (const char *name :
       {"NERKO_TARGET_VIDEO_BITRATE", "NERKO_CQ_LEVEL", "NERKO_SHARPNESS", "NERKO_DROPFRAME_THRESHOLD",
        "NERKO_UNDERSHOOT", "NERKO_RESIZE_ALLOWED", "NERKO_END_USAGE", "NERKO_BOOST",
        "NERKO_BUFFER_INITIAL_SIZE", "NERKO_BUFFER_OPTIMAL_SIZE", "NERKO_BUFFER_SIZE",
        "NERKO_TARGET_AUDIO_BITRATE", "NERKO_VIDEO_FEC_PERCENT", "NERKO_AUDIO_FEC_PERCENT",
        "NERKO_VIDEO_THREADS"})
    env.unset(name);
}

inline const char *factory_name(GstElement *element) {
  GstElementFactory *factory = gst_element_get_factory(element);
  return factory ? gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory)) : "";
}

// The element that owns the peer of `element`'s pad `pad_name`.
inline GstElement *peer_element(GstElement *element, const char *pad_name) {
  PadRef pad(gst_element_get_static_pad(element, pad_name));
  if (!pad)
    return nullptr;
  PadRef peer(gst_pad_get_peer(pad.get()));
  if (!peer)
    return nullptr;
  ObjectRef<GstElement> parent(gst_pad_get_parent_element(peer.get()));
  return parent.get();  // the pipeline keeps it alive
}

inline std::string peer_pad_name(GstPad *pad) {
  PadRef peer(gst_pad_get_peer(pad));
  if (!peer)
    return "";
  GStringRef name(gst_object_get_name(GST_OBJECT(peer.get())));
  return name.get();
}

template <typename T>
T get_property(gpointer object, const char *name) {
  T value{};
  g_object_get(object, name, &value, nullptr);
  return value;
}

inline std::string get_string_property(gpointer object, const char *name) {
  GStringRef value(get_property<gchar *>(object, name));
  return value ? value.get() : "";
}

inline int get_enum_property(gpointer object, const char *name) {
  GValue value = G_VALUE_INIT;
  GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(object), name);
  g_value_init(&value, pspec->value_type);
  g_object_get_property(G_OBJECT(object), name, &value);
  int result = G_VALUE_HOLDS_ENUM(&value) ? g_value_get_enum(&value) : static_cast<int>(g_value_get_flags(&value));
  g_value_unset(&value);
  return result;
}

using testing_support::CapturedFile;

// Records every property set on an element of the pipeline, in order, as
// "factory:property", through GstObject's deep-notify.
class PropertyLog {
 public:
  explicit PropertyLog(GstElement *pipeline) : pipeline_(pipeline) {
    id_ = g_signal_connect(pipeline, "deep-notify", G_CALLBACK(&PropertyLog::on_notify), this);
  }
  ~PropertyLog() { g_signal_handler_disconnect(pipeline_, id_); }
  // Properties set on elements made by `factory`, in order.
  std::vector<std::string> of(const std::string &factory) const {
    std::vector<std::string> out;
    for (const auto &[f, p] : entries_)
      if (f == factory)
        out.push_back(p);
    return out;
  }

 private:
  static void on_notify(GstObject *, GstObject *origin, GParamSpec *pspec, PropertyLog *self) {
    if (GST_IS_ELEMENT(origin))
      self->entries_.emplace_back(factory_name(GST_ELEMENT(origin)), pspec->name);
  }
  GstElement *pipeline_;
  gulong id_;
  std::vector<std::pair<std::string, std::string>> entries_;
};

class GraphTest : public ::testing::Test {
 protected:
  static constexpr const char *kVideoCaps = "video/x-raw,format=I420,width=320,height=240,framerate=25/1";
  static constexpr const char *kAudioCaps =
      "audio/x-raw,format=S16LE,layout=interleaved,rate=48000,channels=2";

  void SetUp() override {
    clear_nerko_settings(env);
    pipeline.reset(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
    rtpbin.reset(GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("rtpbin", nullptr))));
    decoder.reset(GST_ELEMENT(gst_object_ref_sink(gst_bin_new(nullptr))));
    ASSERT_TRUE(gst_bin_add(GST_BIN(pipeline.get()), rtpbin.get()));
    ASSERT_TRUE(gst_bin_add(GST_BIN(pipeline.get()), decoder.get()));
    connect_fec(100);
  }

  void TearDown() override {
    if (pipeline)
      gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  }

  void connect_fec(uint32_t percent) {
    if (fec_handler)
      g_signal_handler_disconnect(rtpbin.get(), fec_handler);
    fec_handler = g_signal_connect_closure(rtpbin.get(), "request-fec-encoder",
                                           make_fec_request_closure(new FecRequestContext{percent, BusRef(gst_element_get_bus(pipeline.get()))}),
                                           FALSE);
  }

  // A new source pad on the decoder bin whose current caps are `caps`.
  GstPad *decoder_pad(const char *caps) {
    std::string name = "src_" + std::to_string(pad_count++);
    GstPad *pad = gst_pad_new(name.c_str(), GST_PAD_SRC);
    gst_pad_use_fixed_caps(pad);
    gst_pad_set_active(pad, TRUE);
    // Caps first, as a decoder does: "pad-added" handlers read them.
    GstEvent *start = gst_event_new_stream_start(name.c_str());
    gst_pad_store_sticky_event(pad, start);
    gst_event_unref(start);
    if (caps) {
      CapsRef parsed(gst_caps_from_string(caps));
      GstEvent *event = gst_event_new_caps(parsed.get());
      gst_pad_store_sticky_event(pad, event);
      gst_event_unref(event);
    }
    gst_element_add_pad(decoder.get(), pad);
    return pad;
  }

  Status build(GstPad *pad, const std::string &output = "udp://127.0.0.1:5000",
               uint32_t audio_fec_percent = 100) {
    return build_branch(*sinks, output, pipeline.get(), rtpbin.get(), pad, audio_fec_percent, console.get());
  }

  // The line of the fatal stop posted on the pipeline's bus; "" when none was.
  std::string posted_fatal() const {
    BusRef bus(gst_element_get_bus(pipeline.get()));
    MessageRef message(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_APPLICATION));
    return (message ? posted_fatal_stop(message.get()) : std::nullopt).value_or("");
  }

  // The pipeline's children after the rtpbin and the decoder, in the order
  // they were added.
  std::vector<GstElement *> branch_elements() const {
    std::vector<GstElement *> out;
    for (GList *l = GST_BIN_CHILDREN(pipeline.get()); l; l = l->next)
      out.insert(out.begin(), GST_ELEMENT(l->data));
    out.erase(out.begin(), out.begin() + 2);
    return out;
  }

  std::vector<std::string> branch_factories() const {
    std::vector<std::string> out;
    for (GstElement *e : branch_elements())
      out.push_back(factory_name(e));
    return out;
  }

  std::vector<GstElement *> rtpbin_children_of(const char *factory) const {
    std::vector<GstElement *> out;
    for (GList *l = GST_BIN_CHILDREN(rtpbin.get()); l; l = l->next)
      if (std::string(factory_name(GST_ELEMENT(l->data))) == factory)
        out.push_back(GST_ELEMENT(l->data));
    return out;
  }

  ScopedEnv env;
  ElementRef pipeline;
  ElementRef rtpbin;
  ElementRef decoder;
  gulong fec_handler = 0;
  int pad_count = 0;
  SharedStreamSinks sinks = std::make_shared<StreamSinks>();
  CapturedFile console;
};

}  // namespace nerko::test
