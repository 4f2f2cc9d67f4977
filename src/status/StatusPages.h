// The three renderings of a status snapshot: the page for people, JSON and Prometheus text.
#pragma once

#include <deque>
#include <string>

#include "common/Metrics.h"
#include "status/StatusHistory.h"
#include "status/StatusSnapshot.h"

// The self-refreshing HTML page, with the charts of History when it has points.
std::string RenderStatusHtml(const TStatusSnapshot& snapshot, const TStatusRun& run,
                             const std::deque<THistoryPoint>& history = {});
// The same facts as one JSON object.
std::string RenderStatusJson(const TStatusSnapshot& snapshot, const TStatusRun& run,
                             const TMetrics& metrics);
// Prometheus text exposition format 0.0.4.
std::string RenderMetrics(const TStatusSnapshot& snapshot, const TStatusRun& run,
                          const TMetrics& metrics);
// The history as series: the points' times, and per series one value a point.
std::string RenderHistoryJson(const std::deque<THistoryPoint>& points);
// The history's charts as an HTML fragment of inline SVG; empty without points.
std::string RenderHistoryCharts(const std::deque<THistoryPoint>& points);
