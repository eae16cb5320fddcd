#include "tools/receive/session_counts.h"

namespace nerko::receive {

SessionCounts::SessionCounts(GstElement *jitterbuffer, GstElement *fec_decoder)
    : jitterbuffer_(ref_object(jitterbuffer)), fec_decoder_(ref_object(fec_decoder)) {}

uint64_t SessionCounts::jitterbuffer_lost() const {
  GstStructure *raw_stats = nullptr;
  g_object_get(jitterbuffer_.get(), "stats", &raw_stats, nullptr);
  StructureRef stats(raw_stats);
  guint64 lost = 0;
  if (stats)
    gst_structure_get_uint64(stats.get(), "num-lost", &lost);
  return lost;
}

uint64_t SessionCounts::fec_recovered() const {
  guint recovered = 0;
  if (fec_decoder_)
    g_object_get(fec_decoder_.get(), "recovered", &recovered, nullptr);
  return recovered;
}

void SessionCounts::restart() {
  PadRef sink(gst_element_get_static_pad(jitterbuffer_.get(), "sink"));
  // No lock across the flush: it travels down to the sinks.
  const uint64_t lost_until_now = jitterbuffer_lost();
  const uint64_t recovered_until_now = fec_recovered();
  // The flush drops the segment, which the source sends only once.
  EventRef segment(gst_pad_get_sticky_event(sink.get(), GST_EVENT_SEGMENT, 0));
  gst_pad_send_event(sink.get(), gst_event_new_flush_start());
  // The running time goes on: the new sender's packets are as live as the old ones.
  gst_pad_send_event(sink.get(), gst_event_new_flush_stop(FALSE));
  if (segment)
    gst_pad_send_event(sink.get(), segment.release());
  const uint64_t lost_base = jitterbuffer_lost();
  const uint64_t recovered_base = fec_recovered();

  std::lock_guard<std::mutex> lock(mutex_);
  lost_.before = lost_.total(lost_until_now);
  lost_.base = lost_base;
  recovered_.before = recovered_.total(recovered_until_now);
  recovered_.base = recovered_base;
}

uint64_t SessionCounts::lost() const {
  const uint64_t now = jitterbuffer_lost();
  std::lock_guard<std::mutex> lock(mutex_);
  return lost_.total(now);
}

uint64_t SessionCounts::recovered() const {
  const uint64_t now = fec_recovered();
  std::lock_guard<std::mutex> lock(mutex_);
  return recovered_.total(now);
}

}  // namespace nerko::receive
