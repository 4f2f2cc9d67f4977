// Reading the settings file zarnel.ini.
#pragma once

#include <string>
#include <vector>

#include "common/Settings.h"

// Reads section "settings" of FileName as the INI reader finds it: a missing file, section or
// key gives the defaults; a leading UTF-8 byte-order mark is skipped; a budget above
// MaxBandwidth is clamped to it. Raises EFOpenError when the file exists but cannot be read.
TSettings LoadSettings(const std::string& fileName);

// The settings the server starts with. A missing file gives the defaults; a file that exists
// must be one the server can trust, or this raises with the reason: a NUL or other control
// byte (the INI reader would stop there and drop every key after it), no section "settings",
// or a StatusPort above 65535. Notes gets a log line for each value the server changed (a
// clamped budget).
TSettings LoadSettingsAtStart(const std::string& fileName, std::vector<std::string>& notes);

// The same for a reload of a running server, which must not fall back to the defaults (and
// so to empty passwords): raises also when the file is missing. The file is read again until
// two reads 100 ms apart agree, so that one an editor is writing in place is never taken half
// written; when it keeps changing, this raises.
TSettings LoadSettingsForReload(const std::string& fileName, std::vector<std::string>& notes);
