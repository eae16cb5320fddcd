// Downstream of a live-rate head the stream is one stream for the whole run,
// whichever input feeds the head. Each new input brings its own stream-start
// and segment, which the head passes on; videorate answers a new segment by
// forgetting where its output had got to and fills again from the segment's
// start with copies of its last frame, stamped seconds or hours back: a burst
// that sends the RTP time back by as much. The encoders, too, would reset.
#pragma once

#include <gst/gst.h>

namespace nerko {

// On the head's source pad: the first stream-start passes, the first segment
// goes on as a plain time segment, later stream-starts and segments stay
// behind, and every buffer is stamped with its running time in the segment
// the head last sent.
void keep_one_output_stream(GstPad *head_source);

}  // namespace nerko
