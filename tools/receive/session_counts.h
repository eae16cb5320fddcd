// What one receiving session's jitter buffer and FEC decoder counted, over
// all the senders it followed. A restarted sender numbers its packets from
// anywhere: the jitter buffer would take the jump for thousands of lost
// packets (and have them concealed) or hold the new packets back until it
// resets itself, so it is flushed before the new sender's first packet, and
// what was counted before the flush is carried over.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <mutex>

#include "encoder/control/gst_ref.h"

namespace nerko::receive {

class SessionCounts {
 public:
  // `fec_decoder` may be null (a session without ULPFEC); both are borrowed.
  SessionCounts(GstElement *jitterbuffer, GstElement *fec_decoder);

  // On the session's streaming thread, before the new sender's first packet
  // reaches the jitter buffer. The old sender has been silent for the
  // restart's 2 s, longer than the jitter buffer waits at any usual
  // latency, so the flush throws nothing of it away.
  void restart();
  uint64_t lost() const;       // packets the jitter buffer gave up on
  uint64_t recovered() const;  // lost packets the FEC decoder rebuilt

 private:
  // A count that a flush may start again from 0.
  struct Carried {
    uint64_t before = 0;  // counted up to the last restart
    uint64_t base = 0;    // the element's own count right after it
    uint64_t total(uint64_t now) const { return before + (now >= base ? now - base : now); }
  };
  uint64_t jitterbuffer_lost() const;
  uint64_t fec_recovered() const;

  ElementRef jitterbuffer_;
  ElementRef fec_decoder_;
  mutable std::mutex mutex_;
  Carried lost_;       // with mutex_
  Carried recovered_;  // with mutex_
};

}  // namespace nerko::receive
