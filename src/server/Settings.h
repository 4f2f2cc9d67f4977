// The settings read once at start-up from zarnel.ini.
#pragma once

#include <cstdint>
#include <string>

struct TSettings {
  std::int32_t FilmMaxConnections = 50;
  std::int32_t ViewMaxConnections = 200;
  std::int32_t BandwidthBuffer = 50000;
  std::int32_t BandwidthNormal = 7000;
  bool ViewerAuth = false;
  bool Debug = false;
  bool RelayEnabled = false;
  std::string RelayServer;
  std::string RelayPassword;
  bool AllowRelays = false;
  std::string FilmPassword;
  std::string AdminPassword;
};

// Reads section "settings" of FileName; a missing file or key gives the defaults.
// Raises EFOpenError when the file exists but cannot be read.
TSettings LoadSettings(const std::string& fileName);
