// With a backup input or a slate, each kind's branch starts with a funnel in
// front of its live-rate head, and every input feeds it: the primary, the
// backup (decoded all the time as a hot standby) and, for video, the slate.
// A gate on each feed lets only the input on air through; the others'
// buffers are thrown away before the funnel, so a switch is a change of one
// value and costs no opening or preroll.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "encoder/control/encoder_error.h"
#include "encoder/control/gst_ref.h"
#include "encoder/input/input_activity.h"

namespace nerko {

enum class InputRole { Primary, Backup, Slate, None };

// Which input's buffers reach the branches: written on the main thread, read
// on the streaming threads of every feed.
struct OnAirGate {
  std::atomic<InputRole> passing{InputRole::Primary};
};
using SharedOnAirGate = std::shared_ptr<OnAirGate>;

// What one input links into the funnels. Guarded by the StreamSinks mutex.
struct InputFeeds {
  explicit InputFeeds(InputRole r) : role(r) {}
  InputRole role;
  // The funnel pads the input's decoder pads feed.
  PadRef video_port, audio_port;
};
using SharedInputFeeds = std::shared_ptr<InputFeeds>;

// The still picture shown while no input is on air, decoded once at start.
struct SlatePicture {
  CapsRef caps;
  Owned<GstBuffer, unref_mini_object<GstBuffer>> buffer;
};

// Decodes the PNG or JPEG at `path`; a missing or unreadable file is a
// set-up error.
Result<std::shared_ptr<const SlatePicture>> read_slate_picture(const std::string &path);

// Links `decoder_pad` to a new sink pad of `funnel`, behind the gate, or to
// the one a removed pad of this input fed; false when this input feeds the
// kind already (a second stream of a kind is discarded instead).
Result<bool> feed_funnel(GstElement *funnel, GstPad *decoder_pad, InputFeeds &feeds, StreamKind kind,
                         const SharedOnAirGate &gate);

// The slate as a live source of its own into the video funnel, in the
// format of the input's `input_caps`.
Status add_slate_feed(GstElement *pipeline, GstElement *funnel, const SlatePicture &slate, GstCaps *input_caps,
                      const SharedOnAirGate &gate);


// Gives the input's funnel pads back once its decoder has stopped. `lock`
// guards `feeds`.
void release_feeds(InputFeeds &feeds, std::mutex &lock);

}  // namespace nerko
