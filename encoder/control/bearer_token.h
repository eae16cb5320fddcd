// The control endpoints' token check.
#pragma once

#include <string_view>

namespace nerko {

// True when `authorization` (the request's Authorization header, or null)
// is "Bearer " and `token`. The comparison takes the same time wherever the
// two differ, and whatever their lengths: both are hashed first.
bool bearer_token_matches(const char *authorization, std::string_view token);

}  // namespace nerko
