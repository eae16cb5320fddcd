#include "tools/receive/receiver.h"

#include <gst/audio/audio.h>

#include <algorithm>
#include <initializer_list>

#include "encoder/graph/sdp_description.h"

namespace nerko::receive {
namespace {

using Counters = Receiver::Counters;

// More room than the system default, so a busy machine loses no datagram in
// the socket before the jitter buffer takes it.
constexpr int kSocketBufferBytes = 2 * 1024 * 1024;

GstElement *add(GstElement *pipeline, const char *factory, std::string &reason) {
  GstElement *element = gst_element_factory_make(factory, nullptr);
  if (!element) {
    reason = std::string("Missing element ") + factory;
    return nullptr;
  }
  gst_bin_add(GST_BIN(pipeline), element);
  return element;
}

// A sink from a gst-launch description, or a counting-only fakesink.
GstElement *add_sink(GstElement *pipeline, bool check, const std::string &description, std::string &reason) {
  if (check) {
    GstElement *sink = add(pipeline, "fakesink", reason);
    if (sink)
      g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    return sink;
  }
  GError *raw_error = nullptr;
  GstElement *sink = gst_parse_bin_from_description(description.c_str(), TRUE, &raw_error);
  // A sink may come with a warning in the error; it is not ours to show.
  ErrorRef error(raw_error);
  if (!sink) {
    reason = "Cannot make the sink \"" + description + "\": " + (error ? error->message : "unknown error");
    return nullptr;
  }
  gst_bin_add(GST_BIN(pipeline), sink);
  return sink;
}

bool link_all(std::initializer_list<GstElement *> chain, std::string &reason) {
  GstElement *previous = nullptr;
  for (GstElement *element : chain) {
    if (previous && !gst_element_link(previous, element)) {
      GStringRef from(gst_object_get_name(GST_OBJECT(previous)));
      GStringRef to(gst_object_get_name(GST_OBJECT(element)));
      reason = std::string("Cannot link ") + from.get() + " to " + to.get();
      return false;
    }
    previous = element;
  }
  return true;
}

// `caps` (none for RTCP) is borrowed: the source takes a reference of its own.
GstElement *add_udp_source(GstElement *pipeline, const std::string &host, int port, GstCaps *caps,
                           std::string &reason) {
  GstElement *source = add(pipeline, "udpsrc", reason);
  if (!source)
    return nullptr;
  g_object_set(source, "address", host.c_str(), "port", port, "buffer-size", kSocketBufferBytes, nullptr);
  // Several receivers on one host may share a multicast group's port; a
  // unicast port shared with another program would split the packets
  // between the two, so it is refused instead.
  g_object_set(source, "reuse", is_multicast(host) ? TRUE : FALSE, nullptr);
  if (caps)
    g_object_set(source, "caps", caps, nullptr);
  return source;
}

bool lose_at_random(std::minstd_rand &random, unsigned percent) {
  return percent > 0 && random() % 100 < percent;
}

// Everything after the source sees the followed sender only, so its counts
// are that sender's and no element meets a second SSRC.
GstPadProbeReturn on_video_packet(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto *counters = static_cast<Counters *>(data);
  GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  PacketFate fate = admit_packet(*counters->video_senders, buffer);
  if (fate == PacketFate::Drop)
    return GST_PAD_PROBE_DROP;
  if (fate == PacketFate::PassFromNewSender) {
    counters->video_sequence->restart();
    counters->video_session->restart();
  }
  if (lose_at_random(counters->video_loss, counters->loss_percent)) {
    ++counters->dropped;
    return GST_PAD_PROBE_DROP;
  }
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ))
    return GST_PAD_PROBE_OK;
  const bool media = map.size >= 2 && (map.data[1] & 0x7f) == counters->video_payload_type;
  // Only media packets: the FEC packets are what should rebuild them.
  bool drop = false;
  if (media && counters->drop_every != 0)
    drop = ++counters->video_packets % counters->drop_every == 0;
  if (!drop)
    counters->video_sequence->arrived(map.data, map.size);
  gst_buffer_unmap(buffer, &map);
  if (!drop)
    return GST_PAD_PROBE_OK;
  ++counters->dropped;
  return GST_PAD_PROBE_DROP;
}

GstPadProbeReturn on_audio_packet(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto *counters = static_cast<Counters *>(data);
  PacketFate fate = admit_packet(*counters->audio_senders, GST_PAD_PROBE_INFO_BUFFER(info));
  if (fate == PacketFate::Drop)
    return GST_PAD_PROBE_DROP;
  if (fate == PacketFate::PassFromNewSender)
    counters->audio_session->restart();
  if (!lose_at_random(counters->audio_loss, counters->loss_percent))
    return GST_PAD_PROBE_OK;
  ++counters->dropped;
  return GST_PAD_PROBE_DROP;
}

// Before the Opus decoder a lost packet is a gap; the packet after it
// rebuilds it when it carries in-band FEC data, which opusdec then uses.
GstPadProbeReturn count_audio_recovery(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto *counters = static_cast<Counters *>(data);
  if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_GAP)
      counters->audio_gap = true;
    return GST_PAD_PROBE_OK;
  }
  if (!counters->audio_gap)
    return GST_PAD_PROBE_OK;
  counters->audio_gap = false;
  GstMapInfo map;
  GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    if (opus_packet_has_fec(map.data, map.size))
      ++counters->audio_recovered;
    gst_buffer_unmap(buffer, &map);
  }
  return GST_PAD_PROBE_OK;
}

GstPadProbeReturn count_frame(GstPad *, GstPadProbeInfo *, gpointer data) {
  ++static_cast<Counters *>(data)->video_frames;
  return GST_PAD_PROBE_OK;
}

GstPadProbeReturn count_samples(GstPad *pad, GstPadProbeInfo *info, gpointer data) {
  CapsRef caps(gst_pad_get_current_caps(pad));
  GstAudioInfo audio;
  if (caps && gst_audio_info_from_caps(&audio, caps.get()) && GST_AUDIO_INFO_BPF(&audio) > 0)
    static_cast<Counters *>(data)->audio_samples +=
        gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info)) / GST_AUDIO_INFO_BPF(&audio);
  return GST_PAD_PROBE_OK;
}

// The FEC decoder needs the SSRC in the caps, which only the demuxer puts
// there. Only the followed sender's packets reach the demuxer, so a new pad
// is a restarted sender's and takes the place of the old one. Called on the
// video source's streaming thread, the only one that pushes the old pad.
void link_followed_sender(GstElement *, GstPad *pad, gpointer data) {
  auto *jitterbuffer = static_cast<GstElement *>(data);
  GStringRef name(gst_object_get_name(GST_OBJECT(pad)));
  if (!g_str_has_prefix(name.get(), "src_"))
    return;
  PadRef sink(gst_element_get_static_pad(jitterbuffer, "sink"));
  PadRef previous(gst_pad_get_peer(sink.get()));
  if (previous)
    gst_pad_unlink(previous.get(), sink.get());
  gst_pad_link(pad, sink.get());
}

void add_probe(GstElement *element, const char *pad_name, GstPadProbeCallback callback, Counters *counters) {
  PadRef pad(gst_element_get_static_pad(element, pad_name));
  gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, callback, counters, nullptr);
}

}  // namespace

std::string report(const ReceiveCounts &c, bool dropping) {
  std::string text = "Video frames decoded: " + std::to_string(c.video_frames) + "\n";
  text += "Audio samples decoded: " + std::to_string(c.audio_samples) + "\n";
  if (dropping)
    text += "Packets dropped on purpose: " + std::to_string(c.dropped) + "\n";
  text += "Packets lost: " + std::to_string(c.video_lost + c.audio_lost) + " (video " +
          std::to_string(c.video_lost) + ", audio " + std::to_string(c.audio_lost) + ")\n";
  text += "Packets recovered by FEC: " + std::to_string(c.video_recovered + c.audio_recovered) + " (video " +
          std::to_string(c.video_recovered) + ", audio " + std::to_string(c.audio_recovered) + "; unrecovered " +
          std::to_string(c.unrecovered) + ")\n";
  text += "Senders seen: video " + std::to_string(c.video_senders) + ", audio " + std::to_string(c.audio_senders) +
          "\n";
  return text;
}

Receiver::Receiver(const ReceiveSource &source, const ReceiveOptions &options)
    : source_(source), options_(options) {
  counters_->drop_every = options.drop_video_every;
  counters_->loss_percent = options.loss_percent;
  counters_->video_sequence = std::make_unique<VideoSequence>(source.video ? source.video->fec_payload_type
                                                                           : std::nullopt);
  if (source.video) {
    counters_->video_payload_type = source.video->payload_type;
    counters_->video_senders = std::make_unique<SenderFilter>("video", source.video->port);
  }
  if (source.audio)
    counters_->audio_senders = std::make_unique<SenderFilter>("audio", source.audio->port);
}

Receiver::~Receiver() { stop(); }

bool Receiver::build_video(const VideoStream &video, std::string &reason) {
  GstElement *pipeline = pipeline_.get();
  // No payload type in the caps: they hold for the VP8 and the ULPFEC packets alike.
  CapsRef caps(gst_caps_new_simple("application/x-rtp", "media", G_TYPE_STRING, "video", "clock-rate", G_TYPE_INT,
                                   90000, "encoding-name", G_TYPE_STRING, "VP8", nullptr));
  GstElement *source = add_udp_source(pipeline, source_.host, video.port, caps.get(), reason);
  if (!source)
    return false;
  // The storage keeps the packets the FEC decoder rebuilds lost ones from; it
  // must hold them for as long as the jitter buffer waits.
  GstElement *storage = add(pipeline, "rtpstorage", reason);
  GstElement *demux = storage ? add(pipeline, "rtpssrcdemux", reason) : nullptr;
  GstElement *jitterbuffer = demux ? add(pipeline, "rtpjitterbuffer", reason) : nullptr;
  GstElement *fec = nullptr;
  if (jitterbuffer && video.fec_payload_type)
    fec = add(pipeline, "rtpulpfecdec", reason);
  if (!jitterbuffer || (video.fec_payload_type && !fec))
    return false;
  GstElement *depay = add(pipeline, "rtpvp8depay", reason);
  GstElement *decoder = depay ? add(pipeline, "vp8dec", reason) : nullptr;
  GstElement *convert = decoder && !options_.check ? add(pipeline, "videoconvert", reason) : nullptr;
  if (!decoder || (!options_.check && !convert))
    return false;
  GstElement *sink = add_sink(pipeline, options_.check, options_.video_sink, reason);
  if (!sink)
    return false;

  g_object_set(storage, "size-time", static_cast<guint64>(options_.latency_ms + 20) * GST_MSECOND, nullptr);
  // Lost-packet events tell the FEC decoder what to rebuild.
  g_object_set(jitterbuffer, "latency", options_.latency_ms, "do-lost", TRUE, nullptr);
  if (fec)
    g_object_set(fec, "pt", static_cast<guint>(*video.fec_payload_type), nullptr);
  counters_->video_session = std::make_unique<SessionCounts>(jitterbuffer, fec);

  g_signal_connect(demux, "pad-added", G_CALLBACK(link_followed_sender), jitterbuffer);
  bool linked = link_all({source, storage, demux}, reason) &&
                (fec ? link_all({jitterbuffer, fec, depay, decoder}, reason)
                     : link_all({jitterbuffer, depay, decoder}, reason));
  if (!linked || !(convert ? link_all({decoder, convert, sink}, reason) : link_all({decoder, sink}, reason)))
    return false;
  add_probe(source, "src", on_video_packet, counters_.get());
  add_probe(decoder, "src", count_frame, counters_.get());
  return true;
}

bool Receiver::build_audio(const AudioStream &audio, std::string &reason) {
  GstElement *pipeline = pipeline_.get();
  CapsRef caps(gst_caps_new_simple("application/x-rtp", "media", G_TYPE_STRING, "audio", "clock-rate", G_TYPE_INT,
                                   48000, "encoding-name", G_TYPE_STRING, "OPUS", "payload", G_TYPE_INT,
                                   audio.payload_type, nullptr));
  GstElement *source = add_udp_source(pipeline, source_.host, audio.port, caps.get(), reason);
  GstElement *jitterbuffer = source ? add(pipeline, "rtpjitterbuffer", reason) : nullptr;
  GstElement *depay = jitterbuffer ? add(pipeline, "rtpopusdepay", reason) : nullptr;
  GstElement *decoder = depay ? add(pipeline, "opusdec", reason) : nullptr;
  if (!decoder)
    return false;
  GstElement *convert = nullptr, *resample = nullptr;
  if (!options_.check) {
    convert = add(pipeline, "audioconvert", reason);
    resample = convert ? add(pipeline, "audioresample", reason) : nullptr;
    if (!resample)
      return false;
  }
  GstElement *sink = add_sink(pipeline, options_.check, options_.audio_sink, reason);
  if (!sink)
    return false;

  // The lost-packet events become gaps before the decoder, and a decoder that
  // conceals gaps ("plc") is one that can rebuild them from the redundancy
  // the next packet carries ("use-inband-fec"): without "plc" it only skips them.
  g_object_set(jitterbuffer, "latency", options_.latency_ms, "do-lost", TRUE, nullptr);
  g_object_set(decoder, "plc", TRUE, "use-inband-fec", TRUE, nullptr);
  counters_->audio_session = std::make_unique<SessionCounts>(jitterbuffer, nullptr);

  if (!link_all({source, jitterbuffer, depay, decoder}, reason) ||
      !(resample ? link_all({decoder, convert, resample, sink}, reason) : link_all({decoder, sink}, reason)))
    return false;
  add_probe(source, "src", on_audio_packet, counters_.get());
  add_probe(decoder, "src", count_samples, counters_.get());
  PadRef decoder_sink(gst_element_get_static_pad(decoder, "sink"));
  gst_pad_add_probe(decoder_sink.get(),
                    GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                    count_audio_recovery, counters_.get(), nullptr);
  return true;
}

// RTCP is read and thrown away: the encoder wants no reports back, and a
// bound port keeps the sender's datagrams from bouncing.
bool Receiver::add_rtcp_drain(int port, std::string &reason) {
  GstElement *source = add_udp_source(pipeline_.get(), source_.host, port, nullptr, reason);
  GstElement *sink = source ? add(pipeline_.get(), "fakesink", reason) : nullptr;
  if (!sink)
    return false;
  g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
  return link_all({source, sink}, reason);
}

bool Receiver::start(std::string &reason) {
  pipeline_ = ElementRef(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
  if (source_.video && (!build_video(*source_.video, reason) || !add_rtcp_drain(source_.video->rtcp_port, reason)))
    return false;
  if (source_.audio && (!build_audio(*source_.audio, reason) || !add_rtcp_drain(source_.audio->rtcp_port, reason)))
    return false;
  if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    reason = "The receiving pipeline does not start";
    // The element that refused says why, for example a port already in use.
    BusRef bus(gst_element_get_bus(pipeline_.get()));
    MessageRef error(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
    if (error) {
      GError *raw = nullptr;
      gchar *debug = nullptr;
      gst_message_parse_error(error.get(), &raw, &debug);
      ErrorRef owned(raw);
      GStringRef details(debug);
      reason += std::string(": ") + owned->message + (details ? std::string(" (") + details.get() + ")" : "");
    }
    return false;
  }
  return true;
}

ReceiveCounts Receiver::counts() const {
  ReceiveCounts c;
  c.video_frames = counters_->video_frames;
  c.audio_samples = counters_->audio_samples;
  c.dropped = counters_->dropped;
  if (counters_->video_session) {
    c.video_lost = counters_->video_session->lost();
    c.video_recovered = counters_->video_session->recovered();
  }
  if (counters_->audio_session)
    c.audio_lost = counters_->audio_session->lost();
  c.audio_recovered = counters_->audio_recovered;
  c.video_senders = counters_->video_senders ? counters_->video_senders->senders() : 0;
  c.audio_senders = counters_->audio_senders ? counters_->audio_senders->senders() : 0;
  // The FEC decoder's own "unrecovered" also counts every lost FEC packet
  // and every loss it was told of twice; what matters is media still missing.
  const uint64_t video_media_lost = counters_->video_sequence->lost_media();
  c.unrecovered = video_media_lost - std::min(video_media_lost, c.video_recovered) + c.audio_lost -
                  std::min(c.audio_lost, c.audio_recovered);
  return c;
}

void Receiver::stop() {
  if (pipeline_)
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
}

}  // namespace nerko::receive
