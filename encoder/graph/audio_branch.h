// Raw audio → Opus with in-band FEC → RTP session 1 and its two UDP senders.
#pragma once

#include <gst/gst.h>

#include <cstdint>

#include "encoder/graph/branch_target.h"
#include "encoder/control/encoder_error.h"

namespace nerko {

// Builds the eight-element audio branch:
//   decoder pad → audioconvert → audioresample → queue → opusenc →
//   rtpopuspay → queue → rtpbin send_rtp_sink_1;
//   send_rtp_src_1 → udpsink; send_rtcp_src_1 → udpsink
// Stops at the first error; what was added to the pipeline before it stays there.
/* with target.sinks.mutex */
Status build_audio_branch(const BranchTarget &target, uint32_t audio_fec_percent);

}  // namespace nerko
