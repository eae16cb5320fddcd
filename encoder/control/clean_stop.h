// SIGTERM (what `systemctl stop` sends) and SIGINT (Ctrl-C) end the run as
// the end of its input does: each RTP session sends its RTCP BYE, so that
// receivers and gateways see the stream end at once instead of waiting out
// their own timeouts, and the run ends with exit status 0. A second signal,
// or a stop that takes more than 5 s, ends the process at once with status 1.
#pragma once

#include <gst/gst.h>

#include <csignal>
#include <functional>

#include "encoder/control/contexts.h"
#include "encoder/control/gst_ref.h"
#include "encoder/control/stream_sinks.h"

namespace nerko {

class CleanStop {
 public:
  struct Parts {
    ElementRef rtpbin;
    SharedStreamSinks sinks;
    MainLoopRef main_loop;
    SharedRunOutcome outcome;
    // Keeps the input's watchers from acting on an input that the stop
    // starves: the watchdog and the keep-alive supervisor.
    std::function<void()> quiet_input;
  };

  // Watches both signals on the default main context from now on.
  explicit CleanStop(Parts parts);
  // Stops watching and lifts the 5 s limit.
  ~CleanStop();
  CleanStop(const CleanStop &) = delete;
  CleanStop &operator=(const CleanStop &) = delete;

  // A signal has asked the run to stop.
  bool requested() const { return signal_ != 0; }

 private:
  struct Watch {
    CleanStop *owner;
    int signal;
    guint id;
  };
  static gboolean on_signal(gpointer data);
  static gboolean on_drain_check(gpointer data);
  void begin(int signal);
  // Every sender of the run has taken its end of stream; each RTCP sender
  // takes it only after its session's BYE.
  bool senders_ended();

  Parts parts_;
  Watch term_{this, SIGTERM, 0};
  Watch interrupt_{this, SIGINT, 0};
  guint drain_check_id_ = 0;
  int signal_ = 0;
};

}  // namespace nerko
