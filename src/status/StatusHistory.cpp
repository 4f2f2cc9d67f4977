#include "status/StatusHistory.h"

void TStatusHistory::Add(const TStatusSnapshot& snapshot, std::uint64_t sentBytes) {
  THistoryPoint point;
  point.Taken = snapshot.Taken;
  for (const TStatusGame& g : snapshot.Games) {
    point.Viewers += g.Viewers;
    if (g.Viewers > 0) point.Games[g.Name] = g.Viewers;
  }
  std::lock_guard<std::mutex> lock(FLock);
  const double seconds =
      FPoints.empty()
          ? 0
          : std::chrono::duration<double>(snapshot.Taken - FPoints.back().Taken).count();
  std::map<std::string, std::uint64_t> uploaded;
  for (const TStatusUpload& u : snapshot.Uploads) {
    const auto before = FUploadedBytes.find(u.Game);
    if (seconds > 0 && before != FUploadedBytes.end() && u.Bytes >= before->second)
      point.Uploads[u.Game] = static_cast<double>(u.Bytes - before->second) / seconds;
    else if (seconds > 0)
      point.Uploads[u.Game] = 0;  // began meanwhile: its rate shows from the next point
    uploaded[u.Game] = u.Bytes;
  }
  if (seconds > 0 && sentBytes >= FSentBytes)
    point.SentPerSecond = static_cast<double>(sentBytes - FSentBytes) / seconds;
  FSentBytes = sentBytes;
  FUploadedBytes = std::move(uploaded);
  FPoints.push_back(std::move(point));
  if (FPoints.size() > Points) FPoints.pop_front();
}

std::deque<THistoryPoint> TStatusHistory::Read() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FPoints;
}
