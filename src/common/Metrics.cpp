#include "common/Metrics.h"

#include <algorithm>

const char* ServicePortName(TServicePort port) {
  static const char* const names[spCount] = {"view", "film", "admin", "relay"};
  return port >= 0 && port < spCount ? names[port] : "";
}

const char* RemovalReasonName(TRemovalReason reason) {
  static const char* const names[rrCount] = {"age", "size", "admin"};
  return reason >= 0 && reason < rrCount ? names[reason] : "";
}

void TDurationHistogram::Observe(std::chrono::nanoseconds duration) {
  const std::int64_t nanos = std::max<std::int64_t>(duration.count(), 0);
  const double seconds = static_cast<double>(nanos) / 1e9;
  const auto bucket = static_cast<std::size_t>(
      std::lower_bound(Bounds.begin(), Bounds.end(), seconds) - Bounds.begin());
  Count(FCounts[bucket]);
  Count(FSumNanos, static_cast<std::uint64_t>(nanos));
}

TDurationHistogram::TSnapshot TDurationHistogram::Snapshot() const {
  TSnapshot out;
  for (std::size_t i = 0; i < FCounts.size(); ++i) {
    out.Counts[i] = FCounts[i].load(std::memory_order_relaxed);
    out.Count += out.Counts[i];
  }
  out.Sum = static_cast<double>(FSumNanos.load(std::memory_order_relaxed)) / 1e9;
  return out;
}

TMetrics& Metrics() {
  static TMetrics metrics;
  return metrics;
}
