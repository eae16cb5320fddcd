#include "encoder/control/control_requests.h"

#include <json-glib/json-glib.h>

#include "encoder/control/gst_ref.h"

namespace nerko {
namespace {

using ParserRef = Owned<JsonParser, g_object_unref>;

// The body's object, or why there is none. The parser owns the object.
std::variant<JsonObject *, BadRequest> read_object(JsonParser *parser, std::string_view body) {
  GError *raw = nullptr;
  if (!json_parser_load_from_data(parser, body.data(), static_cast<gssize>(body.size()), &raw)) {
    ErrorRef error(raw);
    return BadRequest{std::string("The body is not JSON: ") + (error ? error->message : "unreadable")};
  }
  JsonNode *root = json_parser_get_root(parser);
  if (!root || !JSON_NODE_HOLDS_OBJECT(root))
    return BadRequest{"The body must be a JSON object"};
  return json_node_get_object(root);
}

}  // namespace

std::variant<std::string, BadRequest> read_input_request(std::string_view body) {
  ParserRef parser(json_parser_new());
  auto object = read_object(parser.get(), body);
  if (auto *bad = std::get_if<BadRequest>(&object))
    return *bad;
  const BadRequest expected{R"("input" must be "primary", "backup", "slate" or "auto")"};
  JsonNode *input = json_object_get_member(std::get<JsonObject *>(object), "input");
  if (!input || json_node_get_value_type(input) != G_TYPE_STRING)
    return expected;
  const std::string name = json_node_get_string(input);
  if (name != "primary" && name != "backup" && name != "slate" && name != "auto")
    return expected;
  return name;
}

std::variant<int32_t, BadRequest> read_bitrate_request(std::string_view body) {
  ParserRef parser(json_parser_new());
  auto object = read_object(parser.get(), body);
  if (auto *bad = std::get_if<BadRequest>(&object))
    return *bad;
  const BadRequest expected{"\"bits_per_second\" must be a whole number from " + std::to_string(kLowestVideoBitrate) +
                            " to " + std::to_string(kHighestVideoBitrate)};
  JsonNode *rate = json_object_get_member(std::get<JsonObject *>(object), "bits_per_second");
  if (!rate || json_node_get_value_type(rate) != G_TYPE_INT64)
    return expected;
  const gint64 value = json_node_get_int(rate);
  if (value < kLowestVideoBitrate || value > kHighestVideoBitrate)
    return expected;
  return static_cast<int32_t>(value);
}

std::optional<BadRequest> read_keyframe_request(std::string_view body) {
  if (body.empty())
    return std::nullopt;
  ParserRef parser(json_parser_new());
  auto object = read_object(parser.get(), body);
  if (auto *bad = std::get_if<BadRequest>(&object))
    return *bad;
  return std::nullopt;
}

}  // namespace nerko
