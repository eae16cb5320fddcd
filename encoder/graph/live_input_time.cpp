#include "encoder/graph/live_input_time.h"

namespace nerko {

bool is_live_input(GstPad *pad) {
  GstQuery *query = gst_query_new_latency();
  gboolean live = FALSE;
  if (gst_pad_query(pad, query))
    gst_query_parse_latency(query, &live, nullptr, nullptr);
  gst_query_unref(query);
  return live;
}

}  // namespace nerko
