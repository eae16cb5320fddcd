// The two sending RTP sessions of the shared rtpbin and how a branch is wired
// into one of them.
#pragma once

#include <gst/gst.h>

#include <cstdint>

#include "encoder/graph/branch_target.h"
#include "encoder/control/encoder_error.h"
#include "encoder/control/gst_ref.h"
#include "encoder/graph/destination.h"
#include "encoder/input/input_activity.h"

namespace nerko {

struct RtpSession {
  const char *rtp_sink;      // request pad the branch's last queue feeds
  const char *rtp_src;       // static pad the RTP packets leave from
  const char *rtcp_src;      // request pad the RTCP packets leave from
  int32_t rtp_port_offset;   // from the destination's base port
  int32_t rtcp_port_offset;
  uint32_t payload_type;
  StreamKind kind;
};

// Session 0 carries VP8 (with ULPFEC, see fec.h), session 1 Opus.
inline constexpr RtpSession kVideoSession{"send_rtp_sink_0", "send_rtp_src_0", "send_rtcp_src_0", 0, 1, 96,
                                         StreamKind::Video};
inline constexpr RtpSession kAudioSession{"send_rtp_sink_1", "send_rtp_src_1", "send_rtcp_src_1", 2, 3, 97,
                                         StreamKind::Audio};

// Links the branch's last element ("src") to the session's RTP sink pad.
// Requesting that pad is what makes rtpbin ask for the session's FEC encoder.
Status link_into_session(GstElement *rtpbin, const RtpSession &session, GstElement *last);

// Links the session's RTP source pad to the sender's "sink".
Status link_rtp_sender(GstElement *rtpbin, const RtpSession &session, GstElement *sender);

// The wiring every branch starts with, in this order: the decoder pad into
// `first`'s "sink", `last` into the session (link_into_session) and the
// session's RTP packets into `rtp_sender` (link_rtp_sender). With the
// target's live-rate heads the decoder pad feeds a new head in front of
// `first` instead, returned in `head`, and with their gate a funnel in front
// of that, returned in `funnel`.
Status wire_branch(const BranchTarget &target, const RtpSession &session, GstElement *first, GstElement *last,
                   GstElement *rtp_sender, ElementRef &head, ElementRef &funnel);

// Requests the session's RTCP source pad and links it to the sender's "sink".
Status link_rtcp_sender(GstElement *rtpbin, const RtpSession &session, GstElement *sender);

// Points the RTP sender, then the RTCP sender, at the session's two ports,
// and keeps the RTCP sender out of the pipeline's preroll, clock sync and end
// of stream (see detach_rtcp_sender). With `live_heads` (the branch starts
// with a live-rate element, which produces only while playing) the RTP
// sender does not wait for a preroll buffer either: the pipeline would stay
// paused waiting for it.
Status configure_session_senders(const RtpSession &session, const Destination &destination,
                                 GstElement *rtp_sender, GstElement *rtcp_sender, bool live_heads = false);

// rtpbin makes RTCP on its own timer and only once playing, so an RTCP
// sender that waited for it would hold the whole pipeline in preroll (the RTP
// senders meanwhile play unclocked, all at once); and rtpsession does not
// always end its RTCP stream after the BYE, so a pipeline waiting for that end
// of stream may never end. The RTCP sender therefore neither prerolls nor
// syncs, and does not count as a sink of the pipeline: the RTP senders'
// end of stream ends the run.
Status detach_rtcp_sender(GstElement *sender);

}  // namespace nerko
