#include "server/ServiceNotify.h"

#include <systemd/sd-daemon.h>

void NotifyReady() {
  sd_notify(0, "READY=1");
}

void NotifyStopping() {
  sd_notify(0, "STOPPING=1");
}

TWatchdog::TWatchdog() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0) FInterval = std::chrono::microseconds(usec);
}

void TWatchdog::Tick() {
  if (FInterval.count() == 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - FLast < FInterval / 2) return;
  FLast = now;
  sd_notify(0, "WATCHDOG=1");
}
