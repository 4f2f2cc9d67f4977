// Start-up, shutdown and liveness reports to the service manager. Outside of it (no
// NOTIFY_SOCKET in the environment) every call does nothing.
#pragma once

#include <chrono>

// Tells the service manager that every port listens.
void NotifyReady();
// Tells it that the orderly shutdown has begun.
void NotifyStopping();

// Sends the watchdog keep-alive when the unit asks for one and half its interval has passed
// since the last; called from the main loop.
class TWatchdog {
 public:
  TWatchdog();
  void Tick();

 private:
  std::chrono::microseconds FInterval{0};  // 0: no watchdog
  std::chrono::steady_clock::time_point FLast;
};
