#include "view/UnitListActiveUsers.h"

#include <algorithm>

#include "common/TextUtil.h"

bool TListActiveUsers::CheckAndAdd(const std::string& userName) {
  const std::string name = UpperCase(userName);
  const auto has = [&](const std::vector<std::string>& list) {
    return std::find(list.begin(), list.end(), name) != list.end();
  };
  std::unique_lock<std::mutex> hold(FLock);
  FRemoved.wait_for(hold, LeavingWait, [&] { return !has(FLeaving); });
  if (has(FUsers)) return true;
  FUsers.push_back(name);
  return false;
}

void TListActiveUsers::Leaving(const std::string& userName) {
  std::lock_guard<std::mutex> hold(FLock);
  FLeaving.push_back(UpperCase(userName));
}

void TListActiveUsers::Remove(const std::string& userName) {
  const std::string name = UpperCase(userName);
  {
    std::lock_guard<std::mutex> hold(FLock);
    FUsers.erase(std::remove(FUsers.begin(), FUsers.end(), name), FUsers.end());
    const auto leaving = std::find(FLeaving.begin(), FLeaving.end(), name);
    if (leaving != FLeaving.end()) FLeaving.erase(leaving);
  }
  FRemoved.notify_all();
}

std::size_t TListActiveUsers::Count() {
  std::lock_guard<std::mutex> hold(FLock);
  return FUsers.size();
}
