// GET /: one self-contained HTML page (no external assets, so it works
// offline) with the channel's state as last read and the thumbnail; its
// script reads /api/status and the thumbnail again every 2 s.
#pragma once

#include <string>

#include "encoder/control/channel_status.h"

namespace nerko {

std::string status_page(const ChannelSnapshot &snapshot, const std::string &channel);

}  // namespace nerko
