// The receiving pipeline: VP8 with ULPFEC recovery and Opus with in-band
// FEC, from the encoder's ports, decoded to sinks of the caller's choice,
// counting what it decodes and loses.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include "tools/receive/loss_count.h"

#include "encoder/control/gst_ref.h"
#include "tools/receive/receive_source.h"
#include "tools/receive/sender_filter.h"
#include "tools/receive/session_counts.h"

namespace nerko::receive {

struct ReceiveOptions {
  // Played on these sinks (gst-launch descriptions); in check mode decoded
  // data is only counted.
  bool check = false;
  std::string video_sink = "autovideosink";
  std::string audio_sink = "autoaudiosink";
  // Drops every n-th VP8 packet as it arrives, before anything stores it, to
  // see the FEC at work; 0 drops nothing.
  unsigned drop_video_every = 0;
  // Drops this share of every arriving RTP packet, video (VP8 and FEC) and
  // audio, at random from a fixed seed: a network losing packets; 0 drops none.
  unsigned loss_percent = 0;
  // How long the jitter buffers wait for late and recovered packets.
  unsigned latency_ms = 200;
};

struct ReceiveCounts {
  uint64_t video_frames = 0;
  uint64_t audio_samples = 0;
  uint64_t video_lost = 0;  // missing before FEC recovery (dropped ones included)
  uint64_t audio_lost = 0;
  uint64_t video_recovered = 0;  // lost VP8 packets rebuilt by the ULPFEC decoder
  uint64_t audio_recovered = 0;  // lost Opus packets rebuilt from the next one's in-band FEC
  uint64_t unrecovered = 0;      // lost VP8 and Opus packets that stayed lost
  uint64_t dropped = 0;          // dropped on purpose
  // Senders heard at once on each RTP port; the counts above are of the
  // first one only (or of the one that replaced it after a restart).
  unsigned video_senders = 0;
  unsigned audio_senders = 0;

  bool operator==(const ReceiveCounts &) const = default;
};

// The lines a check prints, each with its line feed.
std::string report(const ReceiveCounts &counts, bool dropping);

class Receiver {
 public:
  Receiver(const ReceiveSource &source, const ReceiveOptions &options);
  ~Receiver();
  Receiver(const Receiver &) = delete;
  Receiver &operator=(const Receiver &) = delete;

  // Builds the pipeline and sets it playing (the ports are bound when it
  // returns true); on failure `reason` says why.
  bool start(std::string &reason);
  GstElement *pipeline() const { return pipeline_.get(); }
  // What was decoded, lost and recovered so far.
  ReceiveCounts counts() const;
  void stop();

  struct Counters {
    std::atomic<uint64_t> video_frames{0};
    std::atomic<uint64_t> audio_samples{0};
    std::atomic<uint64_t> video_packets{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> audio_recovered{0};
    unsigned drop_every = 0;
    unsigned loss_percent = 0;
    int video_payload_type = -1;
    // Each used by one streaming thread only: the video or the audio source's.
    std::minstd_rand video_loss{1};
    std::minstd_rand audio_loss{2};
    // Set by a gap (a lost packet) before the Opus decoder, cleared by the next packet.
    bool audio_gap = false;
    std::unique_ptr<VideoSequence> video_sequence;
    // None for a medium the source does not list.
    std::unique_ptr<SenderFilter> video_senders;
    std::unique_ptr<SenderFilter> audio_senders;
    std::unique_ptr<SessionCounts> video_session;
    std::unique_ptr<SessionCounts> audio_session;
  };

 private:
  bool build_video(const VideoStream &video, std::string &reason);
  bool build_audio(const AudioStream &audio, std::string &reason);
  bool add_rtcp_drain(int port, std::string &reason);

  ReceiveSource source_;
  ReceiveOptions options_;
  ElementRef pipeline_;
  std::unique_ptr<Counters> counters_ = std::make_unique<Counters>();
};

}  // namespace nerko::receive
