// What a reload applies at once and what waits for a restart.
#include <gtest/gtest.h>

#include "server/SettingsReload.h"

namespace {

TEST(SettingsReloadTest, RetentionKeysApplyAtOnceBesideARestartOnlyKey) {
  TSettings running, fresh;
  fresh.KeepDays = 30;
  fresh.StoreLimitMB = 2048;
  fresh.MinFreeMB = 0;
  fresh.StatusPort = 28501;
  const TReloadOutcome out = MergeReload(running, fresh);
  EXPECT_EQ(out.Changed, "KeepDays 0 -> 30, StoreLimitMB 0 -> 2048, MinFreeMB 256 -> 0");
  EXPECT_EQ(out.NeedRestart, "StatusPort 28500 -> 28501");
  EXPECT_EQ(std::tie(out.Applied.KeepDays, out.Applied.StoreLimitMB, out.Applied.MinFreeMB),
            std::tie(fresh.KeepDays, fresh.StoreLimitMB, fresh.MinFreeMB));
  EXPECT_EQ(out.Applied.StatusPort, running.StatusPort);
}

}  // namespace
