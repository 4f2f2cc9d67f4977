// The settings the server runs with, read from zarnel.ini at start-up.
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
  // Guards against peers that connect and never get on with it; see the README.
  std::int32_t LoginTimeout = 30;
  std::int32_t IdleTimeout = 300;
  std::int32_t AdminMaxConnections = 8;
  std::int32_t RelayMaxConnections = 32;
  std::int32_t MaxLoginsPerAddress = 0;
};
