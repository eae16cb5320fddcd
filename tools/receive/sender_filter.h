// Which sender a receiving port follows. Two encoders sent to one destination
// by mistake arrive on the same ports with two SSRCs; decoded together they
// would be garbage, so each port follows the first SSRC it hears and drops
// the others, naming each of them once. A followed SSRC that has gone silent
// and is replaced by a new one is an encoder that restarted, not a second one.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace nerko::receive {

// How long the followed sender must have been silent before another SSRC
// may take its place.
constexpr int64_t kRestartSilenceUs = 2 * G_USEC_PER_SEC;

class SenderFilter {
 public:
  enum class Verdict {
    Followed,    // the followed sender's packet
    Restarted,   // a new SSRC after the followed one fell silent: followed from now on
    TakenOver,   // an already named sender takes the silent one's place
    NewOther,    // a further sender, heard for the first time: dropped
    KnownOther,  // a further sender already named: dropped
  };
  struct Decision {
    Verdict verdict;
    uint32_t replaced = 0;  // with Restarted: the SSRC followed until now
  };

  // `medium` ("video", "audio") and `port` name the port in what is said about it.
  SenderFilter(std::string medium, int port) : medium_(std::move(medium)), port_(port) {}

  // One RTP packet of `ssrc` arriving at `now_us` (monotonic).
  Decision admit(uint32_t ssrc, int64_t now_us);
  // The senders heard at once: the followed one (a restart is still the
  // same sender) and every other one named.
  unsigned senders() const;

  // The console lines, with their line feed.
  std::string another_sender_line(uint32_t ssrc, const std::string &from) const;
  std::string restarted_line(uint32_t ssrc, uint32_t replaced) const;

 private:
  const std::string medium_;
  const int port_;
  mutable std::mutex mutex_;
  std::optional<uint32_t> followed_;  // with mutex_
  int64_t followed_heard_us_ = 0;     // with mutex_: the followed one's last packet
  std::set<uint32_t> others_;         // with mutex_: named, and dropped unless they take over
  unsigned named_ = 0;                // with mutex_: every other sender ever named
};

// The filter applied to one arriving packet: what it says goes to standard
// error. Packets that are not RTP have no sender and are dropped too.
// A new followed sender numbers its packets afresh.
enum class PacketFate { Pass, PassFromNewSender, Drop };
PacketFate admit_packet(SenderFilter &filter, GstBuffer *buffer);

}  // namespace nerko::receive
