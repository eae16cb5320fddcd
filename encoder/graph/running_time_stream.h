// Around a live-rate head every stream is stamped in running time, on one
// plain time segment, whichever input feeds the head.
//
// Into the head: an input's segment may start later than the time the head
// still has to fill before the input's first buffer (an RTSP input that
// comes back starts its segment at its first buffer, which its jitter buffer
// holds back for seconds). Frames and silence made up for that time would
// lie before the segment, be thrown away downstream, and pause the stream.
//
// Out of the head: each new input brings its own stream-start and segment,
// which the head passes on; videorate answers a new segment by forgetting
// where its output had got to and fills again from the segment's start with
// copies of its last frame, stamped seconds or hours back: a burst that sends
// the RTP time back by as much. The encoders, too, would start over.
#pragma once

#include <gst/gst.h>

namespace nerko {

// On the head's sink pad: every segment goes on as a plain time segment
// without an end, and every buffer is stamped with its running time in the
// segment it came in. The head's output is then stamped in running time too.
void stamp_in_running_time(GstPad *head_sink);

// On the head's source pad: only the first stream-start and the first
// segment go on, so that everything downstream sees one stream for the whole
// run.
void keep_one_output_stream(GstPad *head_source);

}  // namespace nerko
