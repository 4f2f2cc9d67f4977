#include <gtest/gtest.h>

#include "bench/FloorLoad.h"

namespace {

// The floor's sender and receiver meet on a free port, every connection gets one buffer a
// second through the window, and both processes end cleanly.
TEST(FloorTest, EveryConnectionGetsItsBytesEverySecond) {
  bench::TFloorOptions options;
  options.port = 0;
  options.connections = 40;
  options.warmupSeconds = 0.5;
  options.windowSeconds = 3;
  const std::string out = bench::RunFloor(options).Text();
  for (const char* expected : {"\"connected\":40", "\"connections_full_every_second\":40",
                               "\"sends_failed\":0", "\"clean_exit\":true"})
    EXPECT_NE(out.find(expected), std::string::npos) << expected << " in " << out;
}

}  // namespace
