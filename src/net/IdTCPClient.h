// Outgoing TCP connection: a connection with a target and a connect operation.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/IdTCPConnection.h"

class TIdTCPClient : public TIdTCPConnection {
 public:
  std::string Host;
  std::uint16_t Port = 0;
  // Milliseconds Connect may take (client tools); -1 leaves it to the system.
  int ConnectTimeout = -1;
  std::function<void(TIdTCPClient&)> OnConnected;

  // Connects to Host:Port ("LOCALHOST" in any case is 127.0.0.1); raises on any failure.
  void Connect();
};
