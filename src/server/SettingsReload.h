// What a settings reload applies to a running server and what waits for a restart.
#pragma once

#include <string>

#include "common/Settings.h"

struct TReloadOutcome {
  TSettings Applied;        // Fresh with the restart-only settings kept at their running values
  std::string Changed;      // "Key old -> new" items, comma separated; passwords only by name
  std::string NeedRestart;  // the same for restart-only settings that differ
};

// Compares the running settings with those just read from the file.
TReloadOutcome MergeReload(const TSettings& running, const TSettings& fresh);
