#include "tools/receive/loss_count.h"

namespace nerko::receive {
namespace {

// The start of the range decoder every Opus frame begins with: enough of it
// to read SILK's equiprobable header flags.
class RangeDecoder {
 public:
  RangeDecoder(const uint8_t *data, size_t size) : data_(data), size_(size) {
    rem_ = next_byte();
    val_ = rng_ - 1 - (rem_ >> 1);
    normalize();
  }
  bool bit() {
    uint32_t s = rng_ >> 1;
    bool one = val_ < s;
    if (!one)
      val_ -= s;
    rng_ = one ? s : rng_ - s;
    normalize();
    return one;
  }

 private:
  uint32_t next_byte() { return at_ < size_ ? data_[at_++] : 0; }
  void normalize() {
    while (rng_ <= (1u << 23)) {
      rng_ <<= 8;
      uint32_t symbol = rem_;
      rem_ = next_byte();
      symbol = ((symbol << 8) | rem_) >> 1;
      val_ = ((val_ << 8) + (255 & ~symbol)) & 0x7fffffff;
    }
  }
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
  uint32_t rng_ = 128;
  uint32_t val_ = 0;
  uint32_t rem_ = 0;
};

}  // namespace

bool opus_packet_has_fec(const uint8_t *data, size_t size) {
  if (size < 2)
    return false;
  const unsigned config = data[0] >> 3;
  if (config >= 16)  // CELT only: no SILK layer, no LBRR
    return false;
  const unsigned channels = (data[0] & 0x4) ? 2 : 1;
  size_t frame = 1;
  switch (data[0] & 0x3) {
    case 0:
    case 1:
      break;
    case 2:  // the first frame's length comes first
      frame = data[1] < 252 ? 2 : 3;
      break;
    default:  // arbitrary frame counts: not sent by our encoder
      return false;
  }
  if (frame >= size)
    return false;
  // SILK codes 20 ms frames: a 40 or 60 ms packet holds two or three.
  const unsigned duration_index = config < 12 ? config % 4 : 1;
  const unsigned silk_frames = duration_index < 2 ? 1 : duration_index - 1;
  RangeDecoder decoder(data + frame, size - frame);
  bool lbrr = false;
  for (unsigned c = 0; c < channels; ++c) {
    for (unsigned i = 0; i < silk_frames; ++i)
      decoder.bit();  // voice activity of frame i
    lbrr = decoder.bit() || lbrr;
  }
  return lbrr;
}

uint8_t &VideoSequence::flags_of(uint16_t sequence_number) {
  // Extend the 16-bit number to the one nearest the newest seen.
  uint64_t extended = sequence_number;
  if (first_) {
    extended = (last_ & ~uint64_t{0xffff}) | sequence_number;
    if (extended + 0x8000 < last_)
      extended += 0x10000;
    else if (extended > last_ + 0x8000 && extended >= 0x10000)
      extended -= 0x10000;
  } else {
    first_ = extended = sequence_number + 0x10000;  // room to go back a little
    last_ = extended;
  }
  if (extended < *first_)
    return ignored_ = 0;
  if (extended > last_)
    last_ = extended;
  if (extended - *first_ >= flags_.size())
    flags_.resize(extended - *first_ + 1);
  return flags_[extended - *first_];
}

void VideoSequence::arrived(const uint8_t *packet, size_t size) {
  if (size < 12 || (packet[0] >> 6) != 2)
    return;
  const int payload_type = packet[1] & 0x7f;
  const uint16_t sequence_number = static_cast<uint16_t>(packet[2] << 8 | packet[3]);
  std::lock_guard<std::mutex> lock(mutex_);
  uint8_t &flags = flags_of(sequence_number);
  flags |= kArrived;
  if (payload_type != fec_payload_type_)
    return;
  any_fec_ = true;
  // After the RTP header: the ULPFEC header (10 bytes, SN base at 2) and the
  // level 0 header (protection length, then a 16- or 48-bit mask).
  size_t header = 12 + 4 * (packet[0] & 0x0f);
  if ((packet[0] & 0x10) && size >= header + 4)
    header += 4 + 4 * static_cast<size_t>(packet[header + 2] << 8 | packet[header + 3]);
  if (size < header + 14)
    return;
  const uint8_t *fec = packet + header;
  const bool long_mask = fec[0] & 0x40;
  const size_t mask_bytes = long_mask ? 6 : 2;
  if (size < header + 12 + mask_bytes)
    return;
  const uint16_t base = static_cast<uint16_t>(fec[2] << 8 | fec[3]);
  for (size_t bit = 0; bit < mask_bytes * 8; ++bit)
    if (fec[12 + bit / 8] & (0x80 >> (bit % 8)))
      flags_of(static_cast<uint16_t>(base + bit)) |= kProtected;
}

uint64_t VideoSequence::lost_since_start() const {
  uint64_t count = 0;
  for (uint8_t flags : flags_)
    if (!(flags & kArrived) && ((flags & kProtected) || !any_fec_))
      ++count;
  return count;
}

uint64_t VideoSequence::lost_media() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lost_before_ + lost_since_start();
}

void VideoSequence::restart() {
  std::lock_guard<std::mutex> lock(mutex_);
  lost_before_ += lost_since_start();
  first_.reset();
  last_ = 0;
  any_fec_ = false;
  flags_.clear();
}

}  // namespace nerko::receive
