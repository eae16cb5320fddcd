// What the FEC of each stream really saved: a lost Opus packet rebuilt from
// the in-band FEC data of the packet after it, and video packets that stayed
// lost once ULPFEC had done its work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace nerko::receive {

// Whether an Opus packet carries in-band FEC data (SILK's LBRR frames) for
// the packet before it: read from the TOC byte and the first range-coded
// flags of its first frame. CELT-only packets never do.
bool opus_packet_has_fec(const uint8_t *data, size_t size);

// The video session's sequence numbers, in the one space that VP8 and ULPFEC
// packets share: which arrived, as media or as FEC, and which media packets
// the arrived FEC packets protect. A number that never arrived is a lost
// media packet if an FEC packet protects it, or if no FEC packet arrived at
// all; otherwise it was a lost FEC packet. (The depayloader cannot tell: the
// FEC decoder renumbers what it passes on, to close the FEC packets' gaps.)
class VideoSequence {
 public:
  explicit VideoSequence(std::optional<int> fec_payload_type) : fec_payload_type_(fec_payload_type) {}
  // An RTP packet as it arrives (after any drop on purpose).
  void arrived(const uint8_t *packet, size_t size);
  // Media packets that never arrived, before any FEC recovery.
  uint64_t lost_media() const;
  // A new sender numbers its packets from anywhere: what the old one lost is
  // kept, and the jump to the new numbers is no loss.
  void restart();

 private:
  enum Flag : uint8_t { kArrived = 1, kProtected = 2 };
  uint8_t &flags_of(uint16_t sequence_number);  // with mutex_
  uint64_t lost_since_start() const;            // with mutex_

  std::optional<int> fec_payload_type_;
  mutable std::mutex mutex_;
  std::optional<uint64_t> first_;  // extended number of the first packet seen
  uint64_t last_ = 0;              // extended number of the newest packet seen
  bool any_fec_ = false;
  std::vector<uint8_t> flags_;     // by extended number - first_
  uint8_t ignored_ = 0;            // stands in for numbers from before the first
  uint64_t lost_before_ = 0;       // by the senders followed before a restart
};

}  // namespace nerko::receive
