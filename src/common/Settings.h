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
  // Comma-separated IPv4 addresses and CIDR blocks that may relay from this server.
  std::string RelayAllowFrom;
  std::string FilmPassword;
  std::string AdminPassword;
};
