#include "encoder/input/live_input_time.h"

namespace nerko {

std::optional<bool> answers_live(GstPad *pad) {
  GstQuery *query = gst_query_new_latency();
  gboolean live = FALSE;
  const bool answered = gst_pad_query(pad, query);
  if (answered)
    gst_query_parse_latency(query, &live, nullptr, nullptr);
  gst_query_unref(query);
  return answered ? std::optional<bool>(live) : std::nullopt;
}

bool is_live_input(GstPad *pad) {
  return answers_live(pad).value_or(false);
}

}  // namespace nerko
