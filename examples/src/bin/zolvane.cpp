// nerko-encoder: decodes an input URI, encodes video as VP8 and audio as Opus
// and sends them as RTP over UDP.
//
//   zolvane -i INPUT OUTPUT STATS.txt
//
// Exit status: 0 at end of stream; 1 after a set-up error ("Error! ..." on
// standard error) or when the pipeline reported an error; 2 after a fatal stop.
#include <gst/gst.h>

#include <csignal>
#include <cstdio>

#include "examples/src/bin/run.h"

int main(int argc, char **argv) {
  // Status and statistics lines must be visible the moment they are written,
  // also when standard output is a pipe or a file (service logs, tests).
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // A pipe whose reader has gone (the statistics file as a named pipe, a
  // console piped into a pager) makes a write fail with EPIPE, which the
  // writer reports; the signal would end the encoder instead.
  std::signal(SIGPIPE, SIG_IGN);

  auto result = nerko::run(argc, argv);
  int status = 0;
  if (!result) {
    std::fprintf(stderr, "Error! %s\n", result.error().message().c_str());
    status = 1;
  } else if (result.value() == nerko::RunEnd::Error) {
    status = 1;
  }
  // Everything run made is released by now; deinitialising lets GStreamer's
  // leak tracer report anything that was not.
  gst_deinit();
  return status;
}
