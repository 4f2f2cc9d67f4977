// Viewers that lag: they log in, request a game with its resume offsets in the same send, and
// then never read (stuck) or read a few bytes a second (slow). Measures what they cost the
// kernel on the server's side, and when the server lets them go.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "bench/BenchUtil.h"

namespace bench {

struct TLagOptions {
  int port = 28100;
  std::string game;
  int streams = 2;  // resume offsets sent with the request: the game's stream count
  int count = 0;
  int readBytesPerSecond = 0;  // 0: stuck, never reads; else slow, reads this many a second
  double connectRate = 500;    // connections started a second
  double holdSeconds = 60;     // after the last request
  double sampleSeconds = 5;    // between kernel memory samples
  // Stop early once the system's TCP memory passes its pressure mark, so that a server that
  // lets lagging viewers take all they can does not starve every other socket of the machine.
  bool guard = true;
};

// Runs the viewers and returns one JSON object with the samples and the closes.
TJson RunLaggingViewers(const TLagOptions& options);

}  // namespace bench
