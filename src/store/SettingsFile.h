// Reading the settings file zarnel.ini.
#pragma once

#include <string>

#include "common/Settings.h"

// Reads section "settings" of FileName; a missing file or key gives the defaults.
// Raises EFOpenError when the file exists but cannot be read.
TSettings LoadSettings(const std::string& fileName);
