// Raw video → VP8 → RTP session 0 and its two UDP senders.
#pragma once

#include <gst/gst.h>

#include "encoder/graph/branch_target.h"
#include "encoder/control/encoder_error.h"

namespace nerko {

// Builds the twelve-element video branch:
//   decoder pad → videoconvert → videoscale → capsfilter → videorate →
//   capsfilter → videoconvert → queue → vp8enc → rtpvp8pay → queue →
//   rtpbin send_rtp_sink_0; send_rtp_src_0 → udpsink; send_rtcp_src_0 → udpsink
// With boost on, the capsfilters get `size_caps` and `rate_caps`. Interlaced
// video gets a deinterlace between the first videoconvert and videoscale.
// Stops at the first error; what was added to the pipeline before it stays there.
/* with target.sinks.mutex */
Status build_video_branch(const BranchTarget &target, GstCaps *size_caps, GstCaps *rate_caps,
                          bool interlaced = false);

}  // namespace nerko
