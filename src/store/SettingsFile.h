// Reading the settings file zarnel.ini.
#pragma once

#include <string>

#include "common/Settings.h"

// Reads section "settings" of FileName; a missing file or key gives the defaults.
// Raises EFOpenError when the file exists but cannot be read.
TSettings LoadSettings(const std::string& fileName);

// The same for a reload of a running server, which must not fall back to the defaults (and
// so to empty passwords): raises with the reason when the file is missing, cannot be read or
// has no section "settings".
TSettings LoadSettingsForReload(const std::string& fileName);
