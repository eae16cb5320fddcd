#include "tools/receive/receive_source.h"

#include <gst/sdp/sdp.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "encoder/control/gst_ref.h"
#include "encoder/graph/destination.h"
#include "encoder/graph/fec.h"
#include "encoder/graph/rtp_session.h"
#include "encoder/graph/settings.h"

namespace nerko::receive {
namespace {

using SdpMessageRef = Owned<GstSDPMessage, gst_sdp_message_free>;

struct RtpMap {
  int payload_type;
  std::string encoding;  // as written; compared without case
};

std::optional<RtpMap> parse_rtpmap(std::string_view value) {
  // "<payload type> <encoding name>/<clock rate>[/<parameters>]"
  size_t space = value.find(' ');
  if (space == std::string_view::npos)
    return std::nullopt;
  std::optional<int32_t> pt = parse_int32(value.substr(0, space));
  if (!pt || *pt < 0 || *pt > 127)
    return std::nullopt;
  std::string_view rest = value.substr(space + 1);
  return RtpMap{*pt, std::string(rest.substr(0, rest.find('/')))};
}

bool same_name(std::string_view a, const char *b) {
  return g_ascii_strcasecmp(std::string(a).c_str(), b) == 0;
}

// The a=rtcp port of a media section, or the one after its RTP port.
int rtcp_port_of(const GstSDPMedia *media, int rtp_port) {
  const gchar *rtcp = gst_sdp_media_get_attribute_val(media, "rtcp");
  if (rtcp) {
    std::string_view text(rtcp);
    std::optional<int32_t> port = parse_int32(text.substr(0, text.find(' ')));
    if (port && *port > 0 && *port <= 65535)
      return *port;
  }
  return rtp_port + 1;
}

const gchar *connection_address(const GstSDPMessage *message, const GstSDPMedia *media) {
  if (gst_sdp_media_connections_len(media) > 0)
    return gst_sdp_media_get_connection(media, 0)->address;
  const GstSDPConnection *session = gst_sdp_message_get_connection(message);
  return session ? session->address : nullptr;
}

}  // namespace

std::optional<ReceiveSource> source_from_output(std::string_view output, std::string &reason) {
  Result<Destination> destination = parse_destination(output);
  if (!destination) {
    reason = destination.error().message();
    return std::nullopt;
  }
  if (destination.value().host.empty()) {
    reason = "no host";
    return std::nullopt;
  }
  const int32_t base = destination.value().base_port;
  const int video_pt = static_cast<int>(kVideoSession.payload_type);
  const int audio_pt = static_cast<int>(kAudioSession.payload_type);
  return ReceiveSource{destination.value().host,
                       VideoStream{base + kVideoSession.rtp_port_offset, base + kVideoSession.rtcp_port_offset,
                                   video_pt, static_cast<int>(kFecPayloadType)},
                       AudioStream{base + kAudioSession.rtp_port_offset, base + kAudioSession.rtcp_port_offset,
                                   audio_pt}};
}

std::optional<ReceiveSource> source_from_description(std::string_view text, std::string &reason) {
  GstSDPMessage *raw_message = nullptr;
  gst_sdp_message_new(&raw_message);
  SdpMessageRef owned(raw_message);
  GstSDPMessage *message = owned.get();
  if (gst_sdp_message_parse_buffer(reinterpret_cast<const guint8 *>(text.data()),
                                   static_cast<guint>(text.size()), message) != GST_SDP_OK) {
    reason = "not a session description";
    return std::nullopt;
  }
  ReceiveSource source;
  for (guint i = 0; i < gst_sdp_message_medias_len(message); ++i) {
    const GstSDPMedia *media = gst_sdp_message_get_media(message, i);
    const char *kind = gst_sdp_media_get_media(media);
    int port = static_cast<int>(gst_sdp_media_get_port(media));
    if (!kind || port <= 0 || port > 65535)
      continue;
    std::optional<int> main_pt, fec_pt;
    const bool video = std::string_view(kind) == "video";
    const bool audio = std::string_view(kind) == "audio";
    for (guint a = 0;; ++a) {
      const gchar *value = gst_sdp_media_get_attribute_val_n(media, "rtpmap", a);
      if (!value)
        break;
      std::optional<RtpMap> map = parse_rtpmap(value);
      if (!map)
        continue;
      if (video && !main_pt && same_name(map->encoding, "VP8"))
        main_pt = map->payload_type;
      else if (video && !fec_pt && same_name(map->encoding, "ulpfec"))
        fec_pt = map->payload_type;
      else if (audio && !main_pt && same_name(map->encoding, "opus"))
        main_pt = map->payload_type;
    }
    if (!main_pt)
      continue;
    const gchar *address = connection_address(message, media);
    if (!address || !*address)
      continue;
    if (source.host.empty())
      source.host = address;
    if (video && !source.video)
      source.video = VideoStream{port, rtcp_port_of(media, port), *main_pt, fec_pt};
    if (audio && !source.audio)
      source.audio = AudioStream{port, rtcp_port_of(media, port), *main_pt};
  }
  if (!source.video && !source.audio) {
    reason = "it lists neither VP8 video nor Opus audio";
    return std::nullopt;
  }
  return source;
}

std::optional<ReceiveSource> source_from_argument(const std::string &argument, std::string &reason) {
  if (argument.find("://") != std::string::npos)
    return source_from_output(argument, reason);
  std::ifstream in(argument, std::ios::binary);
  if (!in) {
    reason = "cannot read the file";
    return std::nullopt;
  }
  std::stringstream text;
  text << in.rdbuf();
  return source_from_description(text.str(), reason);
}

}  // namespace nerko::receive
