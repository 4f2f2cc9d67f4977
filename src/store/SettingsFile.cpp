#include "store/SettingsFile.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "store/IniFile.h"

namespace {

const char* const Section = "settings";

TSettings FromIni(const TIniFile& ini) {
  const std::string s = Section;
  TSettings out;
  out.FilmMaxConnections = ini.ReadInteger(s, "FilmMaxConnections", out.FilmMaxConnections);
  out.ViewMaxConnections = ini.ReadInteger(s, "ViewMaxConnections", out.ViewMaxConnections);
  // A budget of 0 or less would stall every viewer, so it counts as not set.
  const std::int32_t buffer = ini.ReadInteger(s, "BandwidthBuffer", out.BandwidthBuffer);
  if (buffer > 0) out.BandwidthBuffer = buffer;
  const std::int32_t normal = ini.ReadInteger(s, "BandwidthNormal", out.BandwidthNormal);
  if (normal > 0) out.BandwidthNormal = normal;
  out.ViewerAuth = ini.ReadBool(s, "ViewerAuth", false);
  out.Debug = ini.ReadBool(s, "Debug", false);
  out.RelayEnabled = ini.ReadBool(s, "RelayEnabled", false);
  out.RelayServer = ini.ReadString(s, "RelayServer", "");
  out.RelayPassword = ini.ReadString(s, "RelayPassword", "");
  out.AllowRelays = ini.ReadBool(s, "AllowRelays", false);
  out.RelayAllowFrom = ini.ReadString(s, "RelayAllowFrom", "");
  out.FilmPassword = ini.ReadString(s, "filmpass", "");
  out.AdminPassword = ini.ReadString(s, "AdminPassword", "");
  for (auto [key, value] : {std::pair{"LoginTimeout", &out.LoginTimeout},
                            {"IdleTimeout", &out.IdleTimeout},
                            {"SendTimeout", &out.SendTimeout},
                            {"AdminMaxConnections", &out.AdminMaxConnections},
                            {"RelayMaxConnections", &out.RelayMaxConnections},
                            {"MaxLoginsPerAddress", &out.MaxLoginsPerAddress}})
    *value = ini.ReadInteger(s, key, *value);
  out.StatusPort = ini.ReadInteger(s, "StatusPort", out.StatusPort);
  out.StatusAddress = ini.ReadString(s, "StatusAddress", out.StatusAddress);
  if (out.StatusAddress.empty()) out.StatusAddress = TSettings{}.StatusAddress;
  for (auto [key, value] : {std::pair{"KeepDays", &out.KeepDays},
                            {"StoreLimitMB", &out.StoreLimitMB},
                            {"MinFreeMB", &out.MinFreeMB}})
    *value = ini.ReadInteger(s, key, *value);
  return out;
}

}  // namespace

TSettings LoadSettings(const std::string& fileName) {
  return FromIni(TIniFile(fileName));
}

TSettings LoadSettingsForReload(const std::string& fileName) {
  const TIniFile ini(fileName);
  if (!ini.SectionExists(Section)) {
    std::error_code ec;
    if (!std::filesystem::exists(fileName, ec))
      throw std::runtime_error("Cannot find file " + fileName);
    throw std::runtime_error("No [settings] section in " + fileName);
  }
  return FromIni(ini);
}
