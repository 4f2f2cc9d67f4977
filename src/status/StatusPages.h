// The three renderings of a status snapshot: the page for people, JSON and Prometheus text.
#pragma once

#include <string>

#include "common/Metrics.h"
#include "status/StatusSnapshot.h"

// The self-refreshing HTML page.
std::string RenderStatusHtml(const TStatusSnapshot& snapshot, const TStatusRun& run);
// The same facts as one JSON object.
std::string RenderStatusJson(const TStatusSnapshot& snapshot, const TStatusRun& run,
                             const TMetrics& metrics);
// Prometheus text exposition format 0.0.4.
std::string RenderMetrics(const TStatusSnapshot& snapshot, const TStatusRun& run,
                          const TMetrics& metrics);
