#include "net/LoginThrottle.h"

#include <algorithm>
#include <thread>

void TLoginThrottle::Wait(const std::string& address, const std::function<bool()>& stop) {
  Clock::time_point slot;
  {
    std::lock_guard<std::mutex> lock(FLock);
    const auto it = FNext.find(address);
    if (it == FNext.end()) return;
    // Each attempt takes the next free slot, so attempts over parallel connections queue up.
    slot = std::max(Clock::now(), it->second);
    it->second = slot + FPause;
  }
  for (;;) {
    const auto now = Clock::now();
    if (now >= slot || (stop && stop())) return;
    std::this_thread::sleep_for(
        std::min<Clock::duration>(slot - now, std::chrono::milliseconds(100)));
  }
}

void TLoginThrottle::Refused(const std::string& address) {
  std::lock_guard<std::mutex> lock(FLock);
  const auto now = Clock::now();
  // Addresses whose pause is long over are forgotten, so the map stays small.
  if (FNext.size() > 4096)
    std::erase_if(FNext, [&](const auto& entry) { return entry.second < now; });
  auto& next = FNext[address];
  next = std::max(next, now + FPause);
}

void TLoginThrottle::Accepted(const std::string& address) {
  std::lock_guard<std::mutex> lock(FLock);
  FNext.erase(address);
}
