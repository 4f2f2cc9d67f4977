// What the status page shows, gathered by the server and rendered here.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/Metrics.h"
#include "common/Settings.h"

struct TStatusGame {
  std::string Name;
  bool Filming = false;  // a film session is uploading it now
  bool Complete = false;
  bool Available = false;
  std::int32_t Sections = 0;
  std::int32_t Streams = 0;
  std::int32_t Viewers = 0;
  std::uint64_t Bytes = 0;  // stream data stored
  bool Damaged = false;     // its info file does not parse: kept, served to no one
};

struct TStatusUpload {
  std::string Game;
  std::uint64_t Bytes = 0;
  double BytesPerSecond = 0;  // since the previous snapshot; 0 for the first one
};

struct TStatusPort {
  TServicePort Service = spView;
  std::uint16_t Number = 0;
  bool Listening = false;
  int Connections = 0;
};

struct TStatusStore {
  std::uint64_t FreeBytes = 0;     // on the store's file system
  std::uint64_t SizeBytes = 0;     // stream data of every game
  std::uint64_t MinFreeBytes = 0;  // new uploads are refused below it; 0: no floor

  bool LowSpace() const { return FreeBytes < MinFreeBytes; }
};

struct TStatusMirroredGame {
  std::string Name;
  std::string State;  // live, stalled, complete, waiting
  double SecondsSinceData = 0;
};

// The relay link of a downstream server.
struct TStatusRelayLink {
  std::string Upstream;
  std::string State;  // connecting, connected, refused
  std::chrono::system_clock::time_point Since;
  std::vector<TStatusMirroredGame> Games;
};

// A downstream server's connection to this one's relay port.
struct TStatusRelayPeer {
  std::string Address;
  bool Authorized = false;
  std::chrono::system_clock::time_point Since;
  std::uint64_t BytesSent = 0;
};

struct TStatusSnapshot {
  std::chrono::system_clock::time_point Taken;
  std::vector<TStatusGame> Games;  // sorted by name
  std::vector<TStatusUpload> Uploads;
  std::vector<TStatusPort> Ports;
  TStatusStore Store;
  std::vector<TInsecureSetting> Insecure;     // settings that open a port to anyone
  std::optional<TStatusRelayLink> RelayLink;  // none when the link does not run
  std::vector<TStatusRelayPeer> RelayPeers;
};

// Where the status server gets its facts; called at most about once a second.
class IStatusSource {
 public:
  virtual ~IStatusSource() = default;
  // The games (Uploads' rates left at 0), uploads, ports and store as they are now.
  virtual TStatusSnapshot Snapshot() = 0;
};

// Facts fixed for the run.
struct TStatusRun {
  std::string Version;
  std::chrono::system_clock::time_point Started;
};
