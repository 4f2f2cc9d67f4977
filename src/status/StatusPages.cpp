#include "status/StatusPages.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <deque>
#include <map>
#include <vector>

#include "common/Settings.h"

namespace {

// Game names are bytes; they are shown as Latin-1, so every output stays valid UTF-8.
std::string Utf8(const std::string& name) {
  std::string out;
  for (const char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

std::string Html(const std::string& text) {
  std::string out;
  for (const char c : Utf8(text)) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (const char c : Utf8(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Label(const std::string& text) {
  std::string out = "\"";
  for (const char c : Utf8(text)) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

std::string Num(double value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.9g", value);
  return buf;
}

std::string Num(std::uint64_t value) {
  return std::to_string(value);
}

std::string Num(std::int64_t value) {
  return std::to_string(value);
}

// Unix time with milliseconds.
std::string UnixSeconds(std::chrono::system_clock::time_point t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f",
                std::chrono::duration<double>(t.time_since_epoch()).count());
  return buf;
}

std::int64_t UptimeSeconds(const TStatusSnapshot& s, const TStatusRun& run) {
  const auto up = std::chrono::duration_cast<std::chrono::seconds>(s.Taken - run.Started).count();
  return up > 0 ? up : 0;
}

const char* State(const TStatusGame& g) {
  if (g.Damaged) return "damaged";
  if (g.Complete) return "complete";
  return g.Filming ? "filming" : "incomplete";
}

const char* const States[] = {"filming", "complete", "incomplete", "damaged"};

std::string Bytes(double bytes) {
  const char* const units[] = {"B", "KB", "MB", "GB", "TB"};
  int unit = 0;
  while (bytes >= 1000 && unit < 4) {
    bytes /= 1000;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return buf;
}

std::string Duration(std::int64_t seconds) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%" PRId64 " d %02d:%02d:%02d", seconds / 86400,
                static_cast<int>(seconds / 3600 % 24), static_cast<int>(seconds / 60 % 60),
                static_cast<int>(seconds % 60));
  return buf;
}

std::string UtcTime(std::chrono::system_clock::time_point t) {
  const std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buf;
}

// One line of the Prometheus text: Name{Labels} Value.
void Sample(std::string& out, const std::string& name, const std::string& labels,
            const std::string& value) {
  out += name;
  if (!labels.empty()) out += "{" + labels + "}";
  out += " " + value + "\n";
}

void Header(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// A live mirrored game's time since its last byte; 0 once it is complete.
double Lag(const TStatusMirroredGame& g) {
  return g.State == "complete" ? 0 : g.SecondsSinceData;
}

std::string Port(TServicePort p) {
  return std::string("port=\"") + ServicePortName(p) + "\"";
}

using TSeries = std::vector<std::pair<std::string, std::vector<double>>>;

// Per name, its value at each point (0 where a point lacks it).
template <class TValue>
TSeries ByName(const std::deque<THistoryPoint>& points,
               std::map<std::string, TValue> THistoryPoint::*field) {
  std::map<std::string, std::vector<double>> series;
  for (std::size_t i = 0; i < points.size(); ++i)
    for (const auto& [name, value] : points[i].*field) {
      auto& values = series[name];
      values.resize(points.size());
      values[i] = static_cast<double>(value);
    }
  for (auto& [name, values] : series) values.resize(points.size());
  return {series.begin(), series.end()};
}

// The MostLines series of highest peak, the others summed into one line "others".
TSeries Busiest(TSeries series, std::size_t mostLines) {
  if (series.size() <= mostLines) return series;
  const auto peak = [](const auto& s) {
    return *std::max_element(s.second.begin(), s.second.end());
  };
  std::stable_sort(series.begin(), series.end(),
                   [&](const auto& a, const auto& b) { return peak(a) > peak(b); });
  std::vector<double> others(series[0].second.size());
  for (std::size_t i = mostLines - 1; i < series.size(); ++i)
    for (std::size_t k = 0; k < others.size(); ++k) others[k] += series[i].second[k];
  series.resize(mostLines - 1);
  series.push_back({"others", std::move(others)});
  return series;
}

// A line chart as inline SVG that scales to the page's width, with its legend; values are
// byte rates when Rate is set, counts otherwise.
std::string Chart(const std::string& title, const TSeries& series, std::size_t points, bool rate) {
  static const char* const colours[] = {"#1f6fb4", "#d0342c", "#2c9f4b",
                                        "#e37f10", "#8a5cc2", "#666"};
  constexpr double Width = 600, Left = 4, Top = 18, Bottom = 138;
  double top = 0;
  for (const auto& s : series)
    for (double v : s.second) top = std::max(top, v);
  const std::string topText = rate ? Bytes(top) + "/s" : Num(top);
  std::string out = "<figure><figcaption>" + Html(title) + "</figcaption>" +
                    "<svg viewBox=\"0 0 600 150\" role=\"img\" aria-label=\"" + Html(title) +
                    "\"><rect x=\"0\" y=\"0\" width=\"600\" height=\"150\" fill=\"#fafafa\"/>"
                    "<line x1=\"4\" y1=\"138\" x2=\"596\" y2=\"138\" stroke=\"#999\"/>"
                    "<text x=\"6\" y=\"13\" font-size=\"12\" fill=\"#555\">" +
                    Html(topText) +
                    "</text><text x=\"594\" y=\"13\" font-size=\"12\" fill=\"#555\" "
                    "text-anchor=\"end\">now</text>";
  // The newest point at the right edge, one step a point to the left.
  const double step = (Width - 2 * Left) / static_cast<double>(TStatusHistory::Points - 1);
  for (std::size_t n = 0; n < series.size(); ++n) {
    out += std::string("<polyline fill=\"none\" stroke-width=\"2\" stroke=\"") + colours[n % 6] +
           "\" points=\"";
    const auto& values = series[n].second;
    for (std::size_t i = 0; i < values.size(); ++i) {
      const double x = Width - Left - step * static_cast<double>(points - 1 - i);
      const double y = top > 0 ? Bottom - (Bottom - Top) * values[i] / top : Bottom;
      char xy[48];
      std::snprintf(xy, sizeof xy, "%s%.1f,%.1f", i ? " " : "", x, y);
      out += xy;
    }
    out += "\"/>";
  }
  out += "</svg>";
  for (std::size_t n = 0; n < series.size(); ++n)
    out += std::string(" <span style=\"color:") + colours[n % 6] + "\">&#9632;</span> " +
           Html(series[n].first);
  return out + "</figure>\n";
}

}  // namespace

std::string RenderHistoryJson(const std::deque<THistoryPoint>& points) {
  const auto list = [](const std::vector<double>& values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) out += (i ? "," : "") + Num(values[i]);
    return out + "]";
  };
  const auto named = [&](const TSeries& series) {
    std::string out = "{";
    for (std::size_t i = 0; i < series.size(); ++i)
      out += (i ? "," : "") + Json(series[i].first) + ":" + list(series[i].second);
    return out + "}";
  };
  std::string times = "[";
  std::vector<double> viewers, sent;
  for (std::size_t i = 0; i < points.size(); ++i) {
    times += (i ? "," : "") + UnixSeconds(points[i].Taken);
    viewers.push_back(static_cast<double>(points[i].Viewers));
    sent.push_back(points[i].SentPerSecond);
  }
  return "{\"step_seconds\":" + std::to_string(TStatusHistory::Step.count()) +
         ",\"times\":" + times + "],\"viewers\":" + list(viewers) +
         ",\"game_viewers\":" + named(ByName(points, &THistoryPoint::Games)) +
         ",\"sent_bytes_per_second\":" + list(sent) +
         ",\"upload_bytes_per_second\":" + named(ByName(points, &THistoryPoint::Uploads)) + "}\n";
}

std::string RenderHistoryCharts(const std::deque<THistoryPoint>& points) {
  if (points.empty()) return "";
  TSeries viewers = Busiest(ByName(points, &THistoryPoint::Games), 5);
  std::vector<double> total, sent;
  for (const THistoryPoint& p : points) {
    total.push_back(static_cast<double>(p.Viewers));
    sent.push_back(p.SentPerSecond);
  }
  viewers.insert(viewers.begin(), {"all games", total});
  return "<h2>Last hour</h2>\n<div class=\"charts\">" +
         Chart("Viewers", viewers, points.size(), false) +
         Chart("Bytes sent a second", {{"to every peer", sent}}, points.size(), true) +
         Chart("Uploads, bytes a second", Busiest(ByName(points, &THistoryPoint::Uploads), 6),
               points.size(), true) +
         "</div>\n";
}

std::string RenderStatusHtml(const TStatusSnapshot& s, const TStatusRun& run,
                             const std::deque<THistoryPoint>& history) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<meta http-equiv=\"refresh\" content=\"5\"><title>Zarnel Server status</title><style>"
      "body{font-family:sans-serif;margin:1em;color:#222}"
      "div{overflow-x:auto}table{border-collapse:collapse;margin-bottom:1em}"
      "th,td{padding:.3em .6em;border-bottom:1px solid #ccc;text-align:left;white-space:nowrap}"
      "td.n{text-align:right}h1{font-size:1.4em}h2{font-size:1.1em;margin-top:1.2em}"
      "p.warn{padding:.5em;border:2px solid #c00;background:#fee;color:#900;font-weight:bold}"
      "figure{margin:0 0 1em;max-width:40em}figcaption{font-size:.9em;color:#555}"
      "svg{display:block;width:100%;height:auto}"
      "</style></head><body>\n<h1>Zarnel Server</h1>\n<p>Version " +
      Html(run.Version) + " &middot; up " + Duration(UptimeSeconds(s, run)) + " &middot; as of " +
      UtcTime(s.Taken) + "</p>\n";
  const std::string freeSpace = Bytes(static_cast<double>(s.Store.FreeBytes));
  out += "<p>Free space " + freeSpace + " &middot; games " +
         Bytes(static_cast<double>(s.Store.SizeBytes)) + "</p>\n";
  if (s.Store.LowSpace())
    out += "<p class=\"warn\">Low disk space: " + freeSpace + " free, under MinFreeMB (" +
           Num(s.Store.MinFreeBytes / BytesPerMB) +
           "). New uploads are refused until space is freed.</p>\n";
  for (const TInsecureSetting& insecure : s.Insecure)
    out += "<p class=\"warn\">" + Html(insecure.Warning) + "</p>\n";

  out += "<h2>Games (" + std::to_string(s.Games.size()) + ")</h2>\n";
  if (s.Games.empty()) {
    out += "<p>No games.</p>\n";
  } else {
    out +=
        "<div><table><tr><th>Game</th><th>State</th><th>Sections</th><th>Streams</th>"
        "<th>Viewers</th><th>Available</th><th>Stored</th></tr>\n";
    for (const TStatusGame& g : s.Games)
      out += "<tr><td>" + Html(g.Name) + "</td><td>" + State(g) + "</td><td class=\"n\">" +
             std::to_string(g.Sections) + "</td><td class=\"n\">" + std::to_string(g.Streams) +
             "</td><td class=\"n\">" + std::to_string(g.Viewers) + "</td><td>" +
             (g.Available ? "yes" : "no") + "</td><td class=\"n\">" +
             Bytes(static_cast<double>(g.Bytes)) + "</td></tr>\n";
    out += "</table></div>\n";
  }

  out += "<h2>Uploads (" + std::to_string(s.Uploads.size()) + ")</h2>\n";
  if (s.Uploads.empty()) {
    out += "<p>No uploads.</p>\n";
  } else {
    out += "<div><table><tr><th>Game</th><th>Stored</th><th>Rate</th></tr>\n";
    for (const TStatusUpload& u : s.Uploads)
      out += "<tr><td>" + Html(u.Game) + "</td><td class=\"n\">" +
             Bytes(static_cast<double>(u.Bytes)) + "</td><td class=\"n\">" +
             Bytes(u.BytesPerSecond) + "/s</td></tr>\n";
    out += "</table></div>\n";
  }

  out += RenderHistoryCharts(history);

  out +=
      "<h2>Connections</h2>\n<div><table><tr><th>Service</th><th>Port</th><th>Open</th>"
      "<th>Now</th></tr>\n";
  for (const TStatusPort& p : s.Ports)
    out += std::string("<tr><td>") + ServicePortName(p.Service) + "</td><td class=\"n\">" +
           std::to_string(p.Number) + "</td><td>" + (p.Listening ? "yes" : "no") +
           "</td><td class=\"n\">" + std::to_string(p.Connections) + "</td></tr>\n";
  out += "</table></div>\n";

  if (s.RelayLink) {
    const TStatusRelayLink& l = *s.RelayLink;
    out += "<h2>Relay link</h2>\n<p>Upstream " + Html(l.Upstream) + " &middot; " + l.State +
           " since " + UtcTime(l.Since) + "</p>\n";
    if (!l.Games.empty()) {
      out += "<div><table><tr><th>Mirrored game</th><th>State</th><th>Since data</th></tr>\n";
      for (const TStatusMirroredGame& g : l.Games)
        out += "<tr><td>" + Html(g.Name) + "</td><td>" + Html(g.State) + "</td><td class=\"n\">" +
               Num(static_cast<std::int64_t>(g.SecondsSinceData)) + " s</td></tr>\n";
      out += "</table></div>\n";
    }
  }
  out += "<h2>Relay peers (" + std::to_string(s.RelayPeers.size()) + ")</h2>\n";
  if (s.RelayPeers.empty()) {
    out += "<p>No relay peers.</p>\n";
  } else {
    out +=
        "<div><table><tr><th>Address</th><th>Authorized</th><th>Connected since</th>"
        "<th>Sent</th></tr>\n";
    for (const TStatusRelayPeer& p : s.RelayPeers)
      out += "<tr><td>" + Html(p.Address) + "</td><td>" + (p.Authorized ? "yes" : "no") +
             "</td><td>" + UtcTime(p.Since) + "</td><td class=\"n\">" +
             Bytes(static_cast<double>(p.BytesSent)) + "</td></tr>\n";
    out += "</table></div>\n";
  }
  out += "</body></html>\n";
  return out;
}

std::string RenderStatusJson(const TStatusSnapshot& s, const TStatusRun& run,
                             const TMetrics& metrics) {
  std::string out =
      "{\"version\":" + Json(run.Version) + ",\"start_time\":" + UnixSeconds(run.Started) +
      ",\"uptime_seconds\":" + Num(UptimeSeconds(s, run)) + ",\"insecure_settings\":[";
  for (std::size_t i = 0; i < s.Insecure.size(); ++i)
    out += std::string(i ? "," : "") + "{\"setting\":" + Json(s.Insecure[i].Setting) +
           ",\"warning\":" + Json(s.Insecure[i].Warning) + "}";
  out += "],\"games\":[";
  for (std::size_t i = 0; i < s.Games.size(); ++i) {
    const TStatusGame& g = s.Games[i];
    out += std::string(i ? "," : "") + "{\"name\":" + Json(g.Name) + ",\"state\":\"" + State(g) +
           "\",\"sections\":" + std::to_string(g.Sections) +
           ",\"streams\":" + std::to_string(g.Streams) +
           ",\"viewers\":" + std::to_string(g.Viewers) +
           ",\"available\":" + (g.Available ? "true" : "false") + ",\"bytes\":" + Num(g.Bytes) +
           // Only where true, so a sound game's object stays as its readers already take it.
           (g.Damaged ? ",\"damaged\":true" : "") + "}";
  }
  out += "],\"uploads\":[";
  for (std::size_t i = 0; i < s.Uploads.size(); ++i) {
    const TStatusUpload& u = s.Uploads[i];
    out += std::string(i ? "," : "") + "{\"game\":" + Json(u.Game) + ",\"bytes\":" + Num(u.Bytes) +
           ",\"bytes_per_second\":" + Num(u.BytesPerSecond) + "}";
  }
  out += "],\"ports\":[";
  for (std::size_t i = 0; i < s.Ports.size(); ++i) {
    const TStatusPort& p = s.Ports[i];
    const TPortCounters& c = metrics.Ports[p.Service];
    out += std::string(i ? "," : "") + "{\"name\":\"" + ServicePortName(p.Service) +
           "\",\"port\":" + std::to_string(p.Number) +
           ",\"listening\":" + (p.Listening ? "true" : "false") +
           ",\"connections\":" + std::to_string(p.Connections) +
           ",\"accepted\":" + Num(std::uint64_t{c.Accepted.load()}) +
           ",\"refused\":" + Num(std::uint64_t{c.Refused.load()}) +
           ",\"logins_failed\":" + Num(std::uint64_t{c.LoginsFailed.load()}) + "}";
  }
  out += "],\"relay_link\":";
  if (s.RelayLink) {
    const TStatusRelayLink& l = *s.RelayLink;
    out += "{\"upstream\":" + Json(l.Upstream) + ",\"state\":" + Json(l.State) +
           ",\"since\":" + UnixSeconds(l.Since) + ",\"games\":[";
    for (std::size_t i = 0; i < l.Games.size(); ++i) {
      const TStatusMirroredGame& g = l.Games[i];
      out += std::string(i ? "," : "") + "{\"name\":" + Json(g.Name) +
             ",\"state\":" + Json(g.State) + ",\"seconds_since_data\":" + Num(g.SecondsSinceData) +
             "}";
    }
    out += "]}";
  } else {
    out += "null";
  }
  out += ",\"relay_peers\":[";
  for (std::size_t i = 0; i < s.RelayPeers.size(); ++i) {
    const TStatusRelayPeer& p = s.RelayPeers[i];
    out += std::string(i ? "," : "") + "{\"address\":" + Json(p.Address) +
           ",\"authorized\":" + (p.Authorized ? "true" : "false") +
           ",\"connected_since\":" + UnixSeconds(p.Since) + ",\"bytes_sent\":" + Num(p.BytesSent) +
           "}";
  }
  out += "],\"sent_bytes\":" + Num(std::uint64_t{metrics.SentBytes.load()}) +
         ",\"received_bytes\":" + Num(std::uint64_t{metrics.ReceivedBytes.load()}) +
         ",\"store\":{\"free_bytes\":" + Num(s.Store.FreeBytes) +
         ",\"size_bytes\":" + Num(s.Store.SizeBytes) +
         ",\"min_free_bytes\":" + Num(s.Store.MinFreeBytes) +
         ",\"low_space\":" + (s.Store.LowSpace() ? "true" : "false") + "}}\n";
  return out;
}

std::string RenderMetrics(const TStatusSnapshot& s, const TStatusRun& run,
                          const TMetrics& metrics) {
  std::string out;
  Header(out, "zarnel_build_info", "gauge", "Version of the running server.");
  Sample(out, "zarnel_build_info", "version=" + Label(run.Version), "1");
  Header(out, "zarnel_start_time_seconds", "gauge", "Start of the server, Unix time.");
  Sample(out, "zarnel_start_time_seconds", "", UnixSeconds(run.Started));
  Header(out, "zarnel_insecure_settings", "gauge",
         "1 for each password left empty, which lets anyone reach its port.");
  for (const char* setting : {"filmpass", "AdminPassword"}) {
    const bool open = std::any_of(s.Insecure.begin(), s.Insecure.end(),
                                  [&](const TInsecureSetting& i) { return i.Setting == setting; });
    Sample(out, "zarnel_insecure_settings", std::string("setting=\"") + setting + "\"",
           open ? "1" : "0");
  }

  Header(out, "zarnel_games", "gauge", "Games in the store by state.");
  for (const char* state : States) {
    int n = 0;
    for (const TStatusGame& g : s.Games) n += std::string(State(g)) == state;
    Sample(out, "zarnel_games", std::string("state=\"") + state + "\"", std::to_string(n));
  }
  Header(out, "zarnel_viewers", "gauge", "Viewers watching each game.");
  for (const TStatusGame& g : s.Games)
    Sample(out, "zarnel_viewers", "game=" + Label(g.Name), std::to_string(g.Viewers));
  Header(out, "zarnel_stored_bytes", "gauge", "Stream data stored for each game.");
  for (const TStatusGame& g : s.Games)
    Sample(out, "zarnel_stored_bytes", "game=" + Label(g.Name), Num(g.Bytes));
  Header(out, "zarnel_store_size_bytes", "gauge", "Stream data stored for every game.");
  Sample(out, "zarnel_store_size_bytes", "", Num(s.Store.SizeBytes));
  Header(out, "zarnel_store_free_bytes", "gauge", "Free space on the store's file system.");
  Sample(out, "zarnel_store_free_bytes", "", Num(s.Store.FreeBytes));
  Header(out, "zarnel_games_removed_total", "counter", "Games removed from the store by reason.");
  for (int r = 0; r < rrCount; ++r)
    Sample(out, "zarnel_games_removed_total",
           std::string("reason=\"") + RemovalReasonName(static_cast<TRemovalReason>(r)) + "\"",
           Num(std::uint64_t{metrics.GamesRemoved[r].load()}));

  Header(out, "zarnel_connections", "gauge", "Open connections per service port.");
  for (const TStatusPort& p : s.Ports)
    Sample(out, "zarnel_connections", Port(p.Service), std::to_string(p.Connections));
  const struct {
    const char* Name;
    const char* Help;
    std::atomic<std::uint64_t> TPortCounters::*Counter;
  } counters[] = {
      {"zarnel_connections_accepted_total", "Connections accepted per service port.",
       &TPortCounters::Accepted},
      {"zarnel_connections_refused_total", "Connections closed over the connection limit.",
       &TPortCounters::Refused},
      {"zarnel_logins_failed_total", "Refused passwords per service port.",
       &TPortCounters::LoginsFailed},
  };
  for (const auto& c : counters) {
    Header(out, c.Name, "counter", c.Help);
    for (int p = 0; p < spCount; ++p)
      Sample(out, c.Name, Port(static_cast<TServicePort>(p)),
             Num(std::uint64_t{(metrics.Ports[p].*c.Counter).load()}));
  }
  Header(out, "zarnel_sent_bytes_total", "counter", "Bytes sent on every connection.");
  Sample(out, "zarnel_sent_bytes_total", "", Num(std::uint64_t{metrics.SentBytes.load()}));
  Header(out, "zarnel_received_bytes_total", "counter", "Bytes received on every connection.");
  Sample(out, "zarnel_received_bytes_total", "", Num(std::uint64_t{metrics.ReceivedBytes.load()}));

  const char* const lateness = "zarnel_send_cycle_lateness_seconds";
  Header(out, lateness, "histogram", "How late viewers' send cycles start.");
  const TDurationHistogram::TSnapshot h = metrics.CycleLateness.Snapshot();
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < h.Counts.size(); ++i) {
    cumulative += h.Counts[i];
    const std::string le = i < TDurationHistogram::Bounds.size()
                               ? Num(TDurationHistogram::Bounds[i])
                               : std::string("+Inf");
    Sample(out, std::string(lateness) + "_bucket", "le=\"" + le + "\"", Num(cumulative));
  }
  Sample(out, std::string(lateness) + "_sum", "", Num(h.Sum));
  Sample(out, std::string(lateness) + "_count", "", Num(cumulative));

  Header(out, "zarnel_relay_link_up", "gauge", "1 while the relay link is authorized upstream.");
  Sample(out, "zarnel_relay_link_up", "",
         s.RelayLink && s.RelayLink->State == "connected" ? "1" : "0");
  Header(out, "zarnel_relay_link_switches_total", "counter",
         "Times the relay link was served by another upstream than before.");
  Sample(out, "zarnel_relay_link_switches_total", "",
         Num(std::uint64_t{metrics.RelayLinkSwitches.load()}));
  Header(out, "zarnel_relay_mirrored_bytes_total", "counter",
         "Stream bytes the relay link added to mirrored games.");
  Sample(out, "zarnel_relay_mirrored_bytes_total", "",
         Num(std::uint64_t{metrics.RelayMirroredBytes.load()}));
  Header(out, "zarnel_relay_peers", "gauge", "Downstream connections on the relay port.");
  Sample(out, "zarnel_relay_peers", "", Num(std::uint64_t{s.RelayPeers.size()}));
  Header(out, "zarnel_relay_game_lag_seconds", "gauge",
         "Time since the last new byte of each mirrored game; 0 once complete.");
  if (s.RelayLink)
    for (const TStatusMirroredGame& g : s.RelayLink->Games)
      Sample(out, "zarnel_relay_game_lag_seconds", "game=" + Label(g.Name), Num(Lag(g)));
  return out;
}
