// The program run hands-off: a signal ends it as the end of its input does,
// and NERKO_HTTP_LISTEN serves the status page and the control endpoints,
// seen over HTTP and on the wire.
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <json-glib/json-glib.h>
#include <libsoup/soup.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/pipeline_run.h"
#include "support/subprocess.h"
#include "udp_listener.h"

namespace nerko::test {
namespace {

namespace fs = std::filesystem;
using testing_support::EnvChanges;
using testing_support::RunningProgram;

const char *kToken = "s3cret-token";

struct Answer {
  guint status = 0;
  std::string type;
  std::string body;
};

Answer request(const std::string &method, const std::string &url, const std::string &body = "",
               const std::string &authorization = "") {
  SoupSession *session = soup_session_new();
  // Straight to the program, whatever proxy the environment names.
  soup_session_set_proxy_resolver(session, nullptr);
  SoupMessage *message = soup_message_new(method.c_str(), url.c_str());
  if (!authorization.empty())
    soup_message_headers_append(soup_message_get_request_headers(message), "Authorization", authorization.c_str());
  if (!body.empty()) {
    GBytes *bytes = g_bytes_new(body.data(), body.size());
    soup_message_set_request_body_from_bytes(message, "application/json", bytes);
    g_bytes_unref(bytes);
  }
  Answer answer;
  if (GBytes *received = soup_session_send_and_read(session, message, nullptr, nullptr)) {
    gsize size = 0;
    const char *data = static_cast<const char *>(g_bytes_get_data(received, &size));
    answer.body.assign(data ? data : "", size);
    g_bytes_unref(received);
  }
  answer.status = soup_message_get_status(message);
  const char *type = soup_message_headers_get_one(soup_message_get_response_headers(message), "Content-Type");
  answer.type = type ? type : "";
  g_object_unref(message);
  g_object_unref(session);
  return answer;
}

Answer control(const std::string &url, const std::string &body) {
  return request("POST", url, body, std::string("Bearer ") + kToken);
}

// A member of /api/status, read with json-glib: strings as they are, numbers
// in their shortest decimal form.
std::string status_member(const std::string &base, const char *name) {
  Answer status = request("GET", base + "api/status");
  JsonParser *parser = json_parser_new();
  std::string value;
  if (json_parser_load_from_data(parser, status.body.c_str(), -1, nullptr)) {
    JsonNode *member = json_object_get_member(json_node_get_object(json_parser_get_root(parser)), name);
    if (member && json_node_get_value_type(member) == G_TYPE_STRING)
      value = json_node_get_string(member);
    else if (member && JSON_NODE_HOLDS_VALUE(member))
      value = std::to_string(json_node_get_double(member));
    else if (member)
      value = "null";
  }
  g_object_unref(parser);
  return value;
}

// When the video RTP count was read (uptime in seconds) and what it was.
std::pair<double, double> video_bytes_reading(const std::string &base) {
  Answer status = request("GET", base + "api/status");
  JsonParser *parser = json_parser_new();
  std::pair<double, double> reading{0, 0};
  if (json_parser_load_from_data(parser, status.body.c_str(), -1, nullptr)) {
    JsonObject *root = json_node_get_object(json_parser_get_root(parser));
    reading.first = json_object_get_double_member(root, "uptime_seconds");
    JsonObject *video = json_array_get_object_element(json_object_get_array_member(root, "senders"), 0);
    reading.second = static_cast<double>(json_object_get_int_member(video, "bytes"));
  }
  g_object_unref(parser);
  return reading;
}

EnvChanges hands_off_env(EnvChanges env = {}) {
  for (const char *name : {"NERKO_INPUT_TIMEOUT", "NERKO_KEEP_ALIVE", "NERKO_BACKUP_INPUT", "NERKO_PROMETHEUS_FILE",
                           "NERKO_HTTP_TOKEN", "NERKO_VIDEO_FILL", "NERKO_FAILBACK_S", "NERKO_TARGET_VIDEO_BITRATE"})
    env.emplace(name, std::nullopt);
  env.emplace("NERKO_HTTP_LISTEN", "127.0.0.1:0");
  // The live-rate plug-in of this build, scanned in the program itself into
  // a registry of the suite's own (as the keep-alive tests do).
  env.emplace("GST_PLUGIN_PATH", std::getenv("GST_PLUGIN_BUILD_DIR"));
  env.emplace("GST_REGISTRY_FORK", "no");
  env.emplace("GST_REGISTRY", (fs::temp_directory_path() / ("nerko-hands-off-" + std::to_string(getpid())) /
                               "registry.bin").string());
  return env;
}

// Reads the program's output until standard error holds `text`; npos when
// it never came (the limit is a safety net, not a timing check).
size_t find_err(RunningProgram &program, const std::string &text, size_t from = 0) {
  for (int waited = 0; program.err().find(text, from) == std::string::npos && waited < 120; ++waited)
    program.next_out_line(std::chrono::seconds(1));
  return program.err().find(text, from);
}

// The page's address, from "Status page on http://127.0.0.1:PORT/".
std::string page_url(RunningProgram &program) {
  const std::string prefix = "Status page on ";
  const size_t at = find_err(program, prefix);
  if (at == std::string::npos)
    return "";
  const size_t start = at + prefix.size();
  return program.err().substr(start, program.err().find('\n', start) - start);
}

// The next statistics line: a tick has seen pictures go into the encoder.
std::string next_statistics_line(RunningProgram &program) {
  for (int lines = 0; lines < 200; ++lines) {
    std::optional<std::string> line = program.next_out_line(std::chrono::seconds(30));
    if (!line)
      return "";
    if (line->rfind("nerko-encoder (", 0) == 0)
      return *line;
  }
  return "";
}

class HandsOff : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    gst_init(nullptr, nullptr);
    dir_ = fs::temp_directory_path() / ("nerko-hands-off-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    // Noise: the video encoder reaches whatever target it is given.
    testing_support::run_pipeline(
        "videotestsrc pattern=snow num-buffers=500 ! video/x-raw,width=160,height=120,framerate=25/1 ! "
        "theoraenc ! queue ! oggmux name=mux ! filesink location=" + (dir_ / "clip.ogg").string() +
        " audiotestsrc num-buffers=940 samplesperbuffer=1024 ! audio/x-raw,rate=48000,channels=2 ! vorbisenc ! "
        "queue ! mux.");
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  RunningProgram encoder(const UdpListener &listener, const EnvChanges &env, const std::string &input = clip()) {
    return RunningProgram({"zolvane", "-i", input, "udp://127.0.0.1:" + std::to_string(listener.base_port()),
                           stats().string()},
                          hands_off_env(env));
  }
  static std::string clip() { return "file://" + (dir_ / "clip.ogg").string(); }
  static fs::path stats() { return dir_ / "stats.txt"; }

  static fs::path dir_;
};

fs::path HandsOff::dir_;

TEST_F(HandsOff, EndpointsAnswerAndBadRequestsChangeNothing) {
  UdpListener listener;
  RunningProgram program = encoder(listener, {{"NERKO_HTTP_TOKEN", kToken}});
  const std::string base = page_url(program);
  ASSERT_FALSE(base.empty()) << program.err();
  ASSERT_FALSE(next_statistics_line(program).empty()) << program.err();
  // Control off: the same endpoints answer 403 on a server without a token.
  UdpListener elsewhere;
  RunningProgram untokened = encoder(elsewhere, {{"NERKO_INPUT_TIMEOUT", "0"}}, "udp://127.0.0.1:9");
  const std::string untokened_base = page_url(untokened);
  ASSERT_FALSE(untokened_base.empty()) << untokened.err();

  const std::string bearer = std::string("Bearer ") + kToken;
  const struct Case {
    std::string method, url, body, authorization;
    guint status;
    std::string type, contains;
  } cases[] = {
      {"GET", base, "", "", 200, "text/html; charset=utf-8", "<img id=\"thumbnail\""},
      {"GET", base + "api/status", "", "", 200, "application/json", "\"on_air\" : \"primary\""},
      {"GET", base + "metrics", "", "", 200, "text/plain; version=0.0.4",
       "nerko_encoder_bytes_served_total{session=\"video\",kind=\"rtp\"} "},
      {"GET", base + "thumbnail.jpg", "", "", 200, "image/jpeg", "\xff\xd8\xff"},
      {"GET", untokened_base + "thumbnail.jpg", "", "", 503, "text/plain; charset=utf-8", "No picture"},
      {"GET", base + "nothing-here", "", "", 404, "text/plain; charset=utf-8", "No such page: /nothing-here\n"},
      {"POST", base + "api/status", "{}", bearer, 405, "text/plain; charset=utf-8", "takes GET"},
      {"GET", base + "api/keyframe", "", bearer, 405, "text/plain; charset=utf-8", "takes POST"},
      {"POST", untokened_base + "api/keyframe", "", bearer, 403, "text/plain; charset=utf-8", "NERKO_HTTP_TOKEN"},
      {"POST", base + "api/video-bitrate", "{\"bits_per_second\": 500000}", "", 401, "text/plain; charset=utf-8",
       "token"},
      {"POST", base + "api/video-bitrate", "{\"bits_per_second\": 500000}", bearer + "x", 401,
       "text/plain; charset=utf-8", "token"},
      {"POST", base + "api/input", std::string(5000, ' '), bearer, 413, "text/plain; charset=utf-8", "4096"},
      {"POST", base + "api/video-bitrate", "{\"bits_per_second\": 5", bearer, 400, "text/plain; charset=utf-8",
       "The body is not JSON: "},
      {"POST", base + "api/video-bitrate", "{\"bits_per_second\": 5}", bearer, 400, "text/plain; charset=utf-8",
       "\"bits_per_second\" must be a whole number from 10000 to 100000000\n"},
      {"POST", base + "api/video-bitrate", "[1]", bearer, 400, "text/plain; charset=utf-8", "a JSON object\n"},
      {"POST", base + "api/input", "{\"input\": \"studio\"}", bearer, 400, "text/plain; charset=utf-8",
       "\"input\" must be"},
      {"POST", base + "api/input", "{\"input\": \"backup\"}", bearer, 409, "text/plain; charset=utf-8",
       "needs a backup input or a slate"},
      {"POST", base + "api/keyframe", "", bearer, 200, "application/json", "requested"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.method + " " + c.url + " " + c.body.substr(0, 40));
    Answer answer = request(c.method, c.url, c.body, c.authorization);
    EXPECT_EQ(answer.status, c.status) << answer.body;
    EXPECT_EQ(answer.type, c.type);
    EXPECT_NE(answer.body.find(c.contains), std::string::npos) << answer.body;
    if (answer.status >= 400) {
      EXPECT_EQ(answer.body.find('\n'), answer.body.size() - 1) << "one line: " << answer.body;
    }
  }
  // Only the key frame was an action, and the refused bitrate left the target as it was.
  EXPECT_EQ(status_member(base, "video_target_bits_per_second"), std::to_string(3000000.0));
  EXPECT_NE(find_err(program, "Control from 127.0.0.1: key frame\n"), std::string::npos) << program.err();
  program.kill_and_wait();
  EXPECT_EQ(program.err().find("Control from "), program.err().rfind("Control from ")) << program.err();
}

TEST_F(HandsOff, ServerThatCannotServeSafelyIsASetUpError) {
  // A port taken by another listener.
  int taken = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr *>(&address), size), 0);
  listen(taken, 1);
  getsockname(taken, reinterpret_cast<sockaddr *>(&address), &size);
  const std::string in_use = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  const struct Case {
    std::string listen;
    std::optional<std::string> token;
    int status;
    std::string error;
  } cases[] = {
      {"0.0.0.0:0", std::nullopt, 1, "Error! NERKO_HTTP_LISTEN 0.0.0.0:0 is not a loopback address"},
      {"[::]:0", "", 1, "Error! NERKO_HTTP_LISTEN [::]:0 is not a loopback address"},
      {in_use, std::nullopt, 1, "Error! Cannot listen on NERKO_HTTP_LISTEN " + in_use + ": "},
      {"192.0.2.1:8080", kToken, 1, "Error! Cannot listen on NERKO_HTTP_LISTEN 192.0.2.1:8080: "},
      {"localhost:8080", std::nullopt, 2, "NERKO_HTTP_LISTEN must be host:port with an IPv4 address or [IPv6]:port"},
      {"::1:8080", std::nullopt, 2, "NERKO_HTTP_LISTEN must be host:port"},
      {"127.0.0.1:65536", std::nullopt, 2, "NERKO_HTTP_LISTEN must be host:port"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.listen);
    testing_support::Outcome outcome = testing_support::run_to_end(
        {"zolvane", "-i", "udp://127.0.0.1:9", "udp://127.0.0.1:5000", stats().string()},
        hands_off_env({{"NERKO_HTTP_LISTEN", c.listen}, {"NERKO_HTTP_TOKEN", c.token}}));
    EXPECT_EQ(outcome.exit_status, c.status);
    EXPECT_EQ(outcome.err.rfind(c.error, 0), 0u) << outcome.err;
  }
  close(taken);
}

// Each mode's run ends on a signal as at the end of its input: SIGTERM
// without keep-alive, SIGINT with a backup input and the HTTP server.
TEST_F(HandsOff, SignalEndsTheRunWithAByeFromEachSessionAndALastTick) {
  const struct Case {
    const char *name;
    int signal;
    EnvChanges env;
  } cases[] = {
      {"SIGTERM", SIGTERM, {{"NERKO_HTTP_LISTEN", ""}}},
      {"SIGINT", SIGINT,
       {{"NERKO_BACKUP_INPUT", clip()}, {"NERKO_HTTP_LISTEN", "127.0.0.1:0"}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    UdpListener listener;
    RunningProgram program = encoder(listener, c.env);
    ASSERT_FALSE(next_statistics_line(program).empty()) << program.err();
    program.send_signal(c.signal);
    testing_support::Outcome outcome = program.finish();
    listener.stop();
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_NE(outcome.err.find(std::string("Stopping on signal ") + c.name + "\n"), std::string::npos)
        << outcome.err;
    EXPECT_EQ(listener.traffic(1).rtcp_packet_types.count(203), 1u) << "video session's BYE";
    EXPECT_EQ(listener.traffic(3).rtcp_packet_types.count(203), 1u) << "audio session's BYE";
    // The last tick, after the BYEs, is what the file keeps.
    std::ifstream file(stats());
    const std::string kept{std::istreambuf_iterator<char>(file), {}};
    const size_t last = outcome.out.rfind("nerko-encoder (");
    ASSERT_NE(last, std::string::npos) << outcome.out;
    EXPECT_EQ(outcome.out.substr(last, kept.size()), kept);
  }
}

TEST_F(HandsOff, LiveBitrateChangeShowsInTheByteCountersWithoutABreak) {
  UdpListener listener;
  RunningProgram program = encoder(listener, {{"NERKO_HTTP_TOKEN", kToken},
                                              {"NERKO_TARGET_VIDEO_BITRATE", "1200000"},
                                              {"NERKO_VIDEO_FEC_PERCENT", "0"},
                                              {"NERKO_RESIZE_ALLOWED", "false"}});
  const std::string base = page_url(program);
  ASSERT_FALSE(base.empty()) << program.err();
  ASSERT_FALSE(next_statistics_line(program).empty()) << program.err();
  ASSERT_EQ(control(base + "api/video-bitrate", "{\"bits_per_second\": 700000}").status, 200u);
  // The encoder's rate-control buffer and the queues before the senders
  // settle first; then the rate over a few readings.
  next_statistics_line(program);
  const std::pair<double, double> from = video_bytes_reading(base);
  for (int waited = 0; video_bytes_reading(base).first < from.first + 3 && waited < 60; ++waited)
    program.next_out_line(std::chrono::seconds(1));
  const std::pair<double, double> to = video_bytes_reading(base);
  const double bits_per_second = (to.second - from.second) * 8 / (to.first - from.first);
  EXPECT_NEAR(bits_per_second, 700000, 0.15 * 700000);
  EXPECT_EQ(status_member(base, "video_target_bits_per_second"), std::to_string(700000.0));
  EXPECT_NE(find_err(program, "Control from 127.0.0.1: video bitrate 700000\n"), std::string::npos);
  program.kill_and_wait();
  listener.stop();
  EXPECT_EQ(listener.traffic(0).rtp_ssrcs.size(), 1u);
  EXPECT_EQ(listener.traffic(0).sequence_jumps, 0);
  EXPECT_EQ(listener.traffic(0).rtp_time_steps_back, 0);
}

TEST_F(HandsOff, HeldInputStaysOnAirPastTheFailbackUntilAuto) {
  UdpListener listener;
  RunningProgram program = encoder(listener, {{"NERKO_HTTP_TOKEN", kToken},
                                              {"NERKO_BACKUP_INPUT", clip()},
                                              {"NERKO_FAILBACK_S", "1"}});
  const std::string base = page_url(program);
  ASSERT_FALSE(base.empty()) << program.err();
  ASSERT_FALSE(next_statistics_line(program).empty()) << program.err();
  Answer held = control(base + "api/input", "{\"input\": \"backup\"}");
  ASSERT_EQ(held.status, 200u) << held.body;
  EXPECT_NE(held.body.find("\"on_air\" : \"backup\""), std::string::npos) << held.body;
  ASSERT_NE(find_err(program, "Switched to the backup input: Held by the operator\n"), std::string::npos);
  // A tick later the primary has delivered for longer than the failback time.
  next_statistics_line(program);
  EXPECT_EQ(status_member(base, "on_air"), "backup");
  EXPECT_EQ(status_member(base, "held"), "backup");
  ASSERT_EQ(control(base + "api/input", "{\"input\": \"auto\"}").status, 200u);
  EXPECT_NE(find_err(program, "Switched back to the primary input\n"), std::string::npos) << program.err();
  EXPECT_EQ(status_member(base, "held"), "null");
  EXPECT_NE(program.err().find("Control from 127.0.0.1: input backup held\n"), std::string::npos);
  program.kill_and_wait();
  listener.stop();
  for (int port : {0, 2}) {
    EXPECT_EQ(listener.traffic(port).rtp_ssrcs.size(), 1u) << port;
    EXPECT_EQ(listener.traffic(port).sequence_jumps, 0) << port;
    EXPECT_EQ(listener.traffic(port).rtp_time_steps_back, 0) << port;
  }
}

}  // namespace
}  // namespace nerko::test
