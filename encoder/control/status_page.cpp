#include "encoder/control/status_page.h"

#include <glib.h>

#include <array>

#include "encoder/control/build_revision.h"
#include "encoder/control/gst_ref.h"

namespace nerko {
namespace {

constexpr const char *kSenderLabels[] = {"Video RTP", "Video RTCP", "Audio RTP", "Audio RTCP"};

std::string escaped(const std::string &text) {
  GStringRef markup(g_markup_escape_text(text.c_str(), -1));
  return markup.get();
}

// The same renderings as the script's below, so the page reads the same
// before and after its first refresh.
std::string rate_text(const std::optional<uint64_t> &bits_per_second) {
  if (!bits_per_second)
    return "–";
  char text[G_ASCII_DTOSTR_BUF_SIZE];
  g_ascii_formatd(text, sizeof text, "%.0f", static_cast<double>(*bits_per_second) / 1000.0);
  return std::string(text) + " kbit/s";
}

std::string seconds_text(const std::optional<GstClockTimeDiff> &time) {
  if (!time)
    return "–";
  char text[G_ASCII_DTOSTR_BUF_SIZE];
  g_ascii_formatd(text, sizeof text, "%.3f", static_cast<double>(std::max<GstClockTimeDiff>(*time, 0)) / GST_SECOND);
  return std::string(text) + " s";
}

std::string uptime_text(gint64 seconds) {
  char text[64];
  g_snprintf(text, sizeof text, "%" G_GINT64_FORMAT "h %02" G_GINT64_FORMAT "m %02" G_GINT64_FORMAT "s",
             seconds / 3600, seconds / 60 % 60, seconds % 60);
  return text;
}

constexpr const char *kStyle = R"(<style>
body{font-family:system-ui,sans-serif;margin:1.5em;background:#f4f5f7;color:#1d2330}
h1{font-size:1.4em;margin:0 0 .2em}.sub{color:#5b6475;font-size:.9em;margin-bottom:1em}
.grid{display:flex;flex-wrap:wrap;gap:1em;align-items:flex-start}.card{background:#fff;border-radius:8px;padding:1em;box-shadow:0 1px 3px #0002}
img{display:block;width:320px;min-height:180px;background:#222;border-radius:4px}
table{border-collapse:collapse}td,th{padding:.25em .8em .25em 0;text-align:left}th{color:#5b6475;font-weight:normal}
.onair{font-size:1.3em;font-weight:bold}.up{color:#137333}.down{color:#c5221f}
#alarms li{color:#c5221f}#alarms:empty::after{content:"None";color:#137333}
</style>)";

constexpr const char *kScript = R"(<script>
const kbit = b => b === null ? '–' : Math.round(b / 1000) + ' kbit/s';
const sec = s => s === null ? '–' : s.toFixed(3) + ' s';
const two = n => String(n).padStart(2, '0');
const uptime = t => { const s = Math.floor(t); return Math.floor(s / 3600) + 'h ' + two(Math.floor(s / 60) % 60) + 'm ' + two(s % 60) + 's'; };
const text = (id, t) => { document.getElementById(id).textContent = t; };
async function refresh() {
  try {
    const s = await (await fetch('/api/status', {cache: 'no-store'})).json();
    text('uptime', uptime(s.uptime_seconds));
    text('on_air', s.on_air);
    text('held', s.held ? 'held by the operator: ' + s.held : 'automatic choice');
    const inputs = document.getElementById('inputs');
    inputs.replaceChildren(...s.inputs.map(i => {
      const row = document.createElement('tr');
      row.innerHTML = '<td></td><td></td><td></td>';
      row.cells[0].textContent = i.name;
      row.cells[1].textContent = i.up ? 'up' : 'down';
      row.cells[1].className = i.up ? 'up' : 'down';
      row.cells[2].textContent = i.restarts + ' restarts';
      return row;
    }));
    s.senders.forEach((x, n) => text('rate' + n, kbit(x.bits_per_second)));
    text('target', kbit(s.video_target_bits_per_second));
    text('latency', sec(s.latency_seconds));
    text('behind_video', sec(s.behind_seconds.video));
    text('behind_audio', sec(s.behind_seconds.audio));
    const alarms = document.getElementById('alarms');
    alarms.replaceChildren(...s.alarms.map(a => { const li = document.createElement('li'); li.textContent = a; return li; }));
  } catch (e) {}
}
const picture = document.getElementById('thumbnail');
picture.onload = () => { document.body.dataset.thumbnail = picture.naturalWidth + 'x' + picture.naturalHeight; };
setInterval(() => { refresh(); picture.src = '/thumbnail.jpg?t=' + Date.now(); }, 2000);
</script>)";

}  // namespace

std::string status_page(const ChannelSnapshot &s, const std::string &channel) {
  const std::string name = channel.empty() ? "nerko-encoder" : channel;
  std::string page = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                     "<meta name=\"viewport\" content=\"width=device-width\">"
                     "<title>" + escaped(name) + "</title>" + kStyle + "</head>\n<body>\n";
  page += "<h1>" + escaped(name) + "</h1>\n<div class=\"sub\">nerko-encoder 3.2.2 (" + std::string(build_revision) +
          "), up <span id=\"uptime\">" + uptime_text(s.uptime_ms / 1000) + "</span></div>\n<div class=\"grid\">\n";
  page += "<div class=\"card\"><img id=\"thumbnail\" src=\"/thumbnail.jpg\" alt=\"The picture going into the video "
          "encoder\"></div>\n";
  page += "<div class=\"card\"><div>On air</div><div class=\"onair\" id=\"on_air\">" + escaped(s.on_air) +
          "</div><div class=\"sub\" id=\"held\">" +
          (s.held ? "held by the operator: " + escaped(*s.held) : std::string("automatic choice")) +
          "</div><table id=\"inputs\">";
  for (const InputState &input : s.inputs)
    page += std::string("<tr><td>") + input.name + "</td><td class=\"" + (input.up ? "up\">up" : "down\">down") +
            "</td><td>" + std::to_string(input.restarts) + " restarts</td></tr>";
  page += "</table></div>\n<div class=\"card\"><table>";
  for (size_t i = 0; i < s.bits_per_second.size(); ++i)
    page += std::string("<tr><th>") + kSenderLabels[i] + "</th><td id=\"rate" + std::to_string(i) + "\">" +
            rate_text(s.bits_per_second[i]) + "</td></tr>";
  page += "<tr><th>Video target</th><td id=\"target\">" +
          rate_text(s.video_target ? std::optional<uint64_t>(*s.video_target) : std::nullopt) + "</td></tr>";
  page += "<tr><th>Latency</th><td id=\"latency\">" +
          seconds_text(s.lag.latency ? std::optional<GstClockTimeDiff>(*s.lag.latency) : std::nullopt) +
          "</td></tr><tr><th>Video behind the clock</th><td id=\"behind_video\">" + seconds_text(s.lag.video) +
          "</td></tr><tr><th>Audio behind the clock</th><td id=\"behind_audio\">" + seconds_text(s.lag.audio) +
          "</td></tr></table></div>\n";
  page += "<div class=\"card\"><div>Alarms</div><ul id=\"alarms\">";
  for (const std::string &alarm : s.alarms)
    page += "<li>" + escaped(alarm) + "</li>";
  page += std::string("</ul></div>\n</div>\n") + kScript + "\n</body></html>\n";
  return page;
}

}  // namespace nerko
