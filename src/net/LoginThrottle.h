// Paces password attempts per peer address: after a refusal, an address gets one attempt a
// second however many connections it opens.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>

class TLoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  explicit TLoginThrottle(Clock::duration pause = std::chrono::seconds(1)) : FPause(pause) {}
  // Waits, holding no lock, until Address may have its password checked; returns early when
  // Stop (polled every 100 ms) turns true.
  void Wait(const std::string& address, const std::function<bool()>& stop);
  // Records a refused password from Address.
  void Refused(const std::string& address);
  // Records an accepted password: Address is no longer slowed down.
  void Accepted(const std::string& address);

 private:
  const Clock::duration FPause;
  std::mutex FLock;
  // The earliest time of the next attempt, per address that was refused lately; FLock.
  std::map<std::string, Clock::time_point> FNext;
};
