// The settings the server runs with, read from zarnel.ini at start-up and on SIGHUP.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// The unit of StoreLimitMB and MinFreeMB.
inline constexpr std::uint64_t BytesPerMB = 1048576;
// The most bytes BandwidthBuffer and BandwidthNormal may give a viewer a cycle: a viewer whose
// socket is full holds a cycle's bytes unsent, so a larger budget costs memory, not speed.
inline constexpr std::int32_t MaxBandwidth = 1048576;

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
  std::int32_t RelayTimeout = 10;  // seconds an upstream may leave the link unanswered
  bool AllowRelays = false;
  // Comma-separated IPv4 addresses and CIDR blocks that may relay from this server.
  std::string RelayAllowFrom;
  std::string FilmPassword;
  std::string AdminPassword;
  // Guards against peers that connect and never get on with it; see the README.
  std::int32_t LoginTimeout = 30;
  std::int32_t IdleTimeout = 300;
  std::int32_t SendTimeout = 60;  // seconds a streaming viewer's socket may take no byte
  std::int32_t AdminMaxConnections = 8;
  std::int32_t RelayMaxConnections = 32;
  std::int32_t MaxLoginsPerAddress = 0;
  std::int32_t StatusPort = 28500;  // 0 or less: no status page
  std::string StatusAddress = "127.0.0.1";
  // Retention of the game store; see the README.
  std::int32_t KeepDays = 0;      // 0 or less: keep for ever
  std::int32_t StoreLimitMB = 0;  // 0 or less: no limit
  std::int32_t MinFreeMB = 256;   // 0 or less: no floor
};

// The running settings, replaced whole by a reload while sessions read them. A reader keeps
// the snapshot it was handed, so the values it uses never change under it.
class TSettingsHolder {
 public:
  explicit TSettingsHolder(TSettings initial = {})
      : FCurrent(std::make_shared<const TSettings>(std::move(initial))) {}
  TSettingsHolder(const TSettingsHolder&) = delete;
  TSettingsHolder& operator=(const TSettingsHolder&) = delete;

  // The settings as they are now.
  std::shared_ptr<const TSettings> Get() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FCurrent;
  }
  // Replaces the settings; sessions see the new values at their next Get.
  void Set(TSettings settings) {
    auto next = std::make_shared<const TSettings>(std::move(settings));
    std::lock_guard<std::mutex> lock(FLock);
    FCurrent.swap(next);
  }

 private:
  mutable std::mutex FLock;
  std::shared_ptr<const TSettings> FCurrent;  // guarded by FLock
};

// A setting that opens a port to anyone, with the warning that says so.
struct TInsecureSetting {
  std::string Setting;  // its key in zarnel.ini
  std::string Warning;
};

// The empty passwords of Settings, for the ports FilmPort and AdminPort: allowed for closed
// networks, but said out loud, since those ports listen on every address.
inline std::vector<TInsecureSetting> InsecureSettings(const TSettings& settings,
                                                      std::uint16_t filmPort,
                                                      std::uint16_t adminPort) {
  std::vector<TInsecureSetting> found;
  const auto add = [&](const char* setting, std::uint16_t port, const char* power) {
    found.push_back({setting, std::string("Warning: ") + setting +
                                  " is empty: anyone who reaches port " + std::to_string(port) +
                                  ", which listens on every address, may " + power});
  };
  if (settings.FilmPassword.empty()) add("filmpass", filmPort, "upload games");
  if (settings.AdminPassword.empty())
    add("AdminPassword", adminPort, "hide, offer and delete games");
  return found;
}
