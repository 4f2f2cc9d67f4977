// The machine's floor for streaming viewers: a sender that does nothing but send one buffer to
// each of N loopback TCP connections once a second, and a receiver in another process that
// reads them. What the sender costs is the kernel's own TCP work, which no server can undercut.
#pragma once

#include <cstdint>

#include "bench/BenchUtil.h"

namespace bench {

struct TFloorOptions {
  int port = 28900;  // the sender's listening port; 0: a free one
  int connections = 1000;
  std::int32_t bytes = 7000;  // sent to each connection once a second
  double warmupSeconds = 5;   // after the last connection, before the window
  double windowSeconds = 30;
};

// Runs sender and receiver as two child processes and returns the sender's CPU over the
// window and whether every connection received all it was sent.
TJson RunFloor(const TFloorOptions& options);

}  // namespace bench
