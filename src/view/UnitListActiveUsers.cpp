#include "view/UnitListActiveUsers.h"

#include <algorithm>

#include "net/NetUtil.h"

bool TListActiveUsers::CheckAndAdd(const std::string& userName) {
  const std::string name = UpperCase(userName);
  std::lock_guard<std::mutex> hold(FLock);
  if (std::find(FUsers.begin(), FUsers.end(), name) != FUsers.end()) return true;
  FUsers.push_back(name);
  return false;
}

void TListActiveUsers::Remove(const std::string& userName) {
  const std::string name = UpperCase(userName);
  std::lock_guard<std::mutex> hold(FLock);
  FUsers.erase(std::remove(FUsers.begin(), FUsers.end(), name), FUsers.end());
}

std::size_t TListActiveUsers::Count() {
  std::lock_guard<std::mutex> hold(FLock);
  return FUsers.size();
}
