#include "encoder/control/bearer_token.h"

#include <glib.h>

#include <array>
#include <cstring>

namespace nerko {
namespace {

using Digest = std::array<guint8, 32>;

Digest sha256(std::string_view text) {
  GChecksum *checksum = g_checksum_new(G_CHECKSUM_SHA256);
  g_checksum_update(checksum, reinterpret_cast<const guchar *>(text.data()), static_cast<gssize>(text.size()));
  Digest digest{};
  gsize size = digest.size();
  g_checksum_get_digest(checksum, digest.data(), &size);
  g_checksum_free(checksum);
  return digest;
}

}  // namespace

bool bearer_token_matches(const char *authorization, std::string_view token) {
  constexpr std::string_view kScheme = "Bearer ";
  if (!authorization || token.empty() || std::strlen(authorization) < kScheme.size() ||
      g_ascii_strncasecmp(authorization, kScheme.data(), kScheme.size()) != 0)
    return false;
  const Digest given = sha256(authorization + kScheme.size());
  const Digest wanted = sha256(token);
  guint8 difference = 0;
  for (size_t i = 0; i < given.size(); ++i)
    difference |= given[i] ^ wanted[i];
  return difference == 0;
}

}  // namespace nerko
