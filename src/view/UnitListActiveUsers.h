// The user names logged in to the view service at this moment.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

class TListActiveUsers {
 public:
  // How long a login waits for a session of the same name that is ending.
  static constexpr std::chrono::milliseconds LeavingWait{2000};

  // True if UserName (any letter case) is logged in already; otherwise adds it, false. A name
  // whose session is ending (Leaving) is waited for, so a viewer that saw its connection
  // close can log in again at once.
  bool CheckAndAdd(const std::string& userName);
  // Marks UserName's session as ending: its connection is about to close and Remove follows.
  void Leaving(const std::string& userName);
  // Takes UserName (any letter case) out of the list; nothing happens if it is not there.
  void Remove(const std::string& userName);
  // Number of names logged in.
  std::size_t Count();

 private:
  std::mutex FLock;
  std::condition_variable FRemoved;
  std::vector<std::string> FUsers;    // upper-cased, in login order; guarded by FLock
  std::vector<std::string> FLeaving;  // upper-cased names of ending sessions; guarded by FLock
};
