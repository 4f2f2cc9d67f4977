// The user names logged in to the view service at this moment.
#pragma once

#include <mutex>
#include <string>
#include <vector>

class TListActiveUsers {
 public:
  // True if UserName (any letter case) is logged in already; otherwise adds it, false.
  bool CheckAndAdd(const std::string& userName);
  // Takes UserName (any letter case) out of the list; nothing happens if it is not there.
  void Remove(const std::string& userName);
  // Number of names logged in.
  std::size_t Count();

 private:
  std::mutex FLock;
  std::vector<std::string> FUsers;  // upper-cased, in login order; guarded by FLock
};
