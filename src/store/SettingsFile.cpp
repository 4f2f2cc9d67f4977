#include "store/SettingsFile.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "store/IniFile.h"

namespace {

const char* const Section = "settings";
constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";
constexpr std::int32_t HighestPort = 65535;
// How a reload waits out an editor that writes the file in place.
constexpr auto ReadInterval = std::chrono::milliseconds(100);
constexpr int MaxReads = 10;

// Some editors start a UTF-8 file with a byte-order mark; it is no part of the first line.
std::string WithoutByteOrderMark(std::string text) {
  if (text.starts_with(ByteOrderMark)) text.erase(0, ByteOrderMark.size());
  return text;
}

// A budget of 0 or less would stall every viewer, so it counts as not set.
void ReadBudget(const TIniFile& ini, const char* key, std::int32_t& budget,
                std::vector<std::string>* notes) {
  const std::int32_t value = ini.ReadInteger(Section, key, budget);
  if (value <= 0) return;
  budget = std::min(value, MaxBandwidth);
  if (value > MaxBandwidth && notes)
    notes->push_back(std::string(key) + " " + std::to_string(value) + " clamped to " +
                     std::to_string(MaxBandwidth));
}

TSettings FromIni(const TIniFile& ini, std::vector<std::string>* notes) {
  const std::string s = Section;
  TSettings out;
  out.FilmMaxConnections = ini.ReadInteger(s, "FilmMaxConnections", out.FilmMaxConnections);
  out.ViewMaxConnections = ini.ReadInteger(s, "ViewMaxConnections", out.ViewMaxConnections);
  ReadBudget(ini, "BandwidthBuffer", out.BandwidthBuffer, notes);
  ReadBudget(ini, "BandwidthNormal", out.BandwidthNormal, notes);
  out.ViewerAuth = ini.ReadBool(s, "ViewerAuth", false);
  out.Debug = ini.ReadBool(s, "Debug", false);
  out.RelayEnabled = ini.ReadBool(s, "RelayEnabled", false);
  out.RelayServer = ini.ReadString(s, "RelayServer", "");
  out.RelayPassword = ini.ReadString(s, "RelayPassword", "");
  // 0 or less would give up on every upstream at once, so it counts as not set; a day is
  // beyond any use and keeps the milliseconds in range.
  out.RelayTimeout = std::min(ini.ReadInteger(s, "RelayTimeout", out.RelayTimeout), 86400);
  if (out.RelayTimeout <= 0) out.RelayTimeout = TSettings{}.RelayTimeout;
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

// "[Settings]" and the like: sections that differ from the one looked for only in case.
std::string NearMisses(const TIniFile& ini) {
  std::string found;
  for (const std::string& name : ini.SectionNames()) {
    if (name.size() != std::string_view(Section).size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size(); ++i)
      same = same && std::tolower(static_cast<unsigned char>(name[i])) == Section[i];
    if (same) found += (found.empty() ? "[" : ", [") + name + "]";
  }
  return found;
}

// The settings of Text, read from FileName, or the reason they cannot be trusted. NameNearMiss
// adds to a missing section the sections whose names differ from it only in case.
TSettings CheckedSettings(const std::string& fileName, const std::string& raw, bool nameNearMiss,
                          std::vector<std::string>& notes) {
  const std::string text = WithoutByteOrderMark(raw);
  const std::string damage = IniControlByte(text);
  if (!damage.empty())
    throw std::runtime_error("Unreadable settings file " + fileName + ": " + damage);
  const TIniFile ini(fileName, text);
  if (!ini.SectionExists(Section)) {
    std::string reason = "No [settings] section in " + fileName;
    const std::string found = nameNearMiss ? NearMisses(ini) : "";
    if (!found.empty()) reason += " (found " + found + "; section names are matched with case)";
    throw std::runtime_error(reason);
  }
  std::vector<std::string> changed;
  TSettings settings = FromIni(ini, &changed);
  if (settings.StatusPort > HighestPort)
    throw std::runtime_error("StatusPort " + std::to_string(settings.StatusPort) + " in " +
                             fileName + " is not a port (1 to 65535; 0 or less: no status page)");
  notes.insert(notes.end(), changed.begin(), changed.end());
  return settings;
}

// Reads FileName into Text until two reads ReadInterval apart agree; false when it is missing.
bool ReadSettled(const std::string& fileName, std::string& text) {
  std::string last;
  bool existed = ReadWholeFile(fileName, last);
  for (int reads = 1; reads < MaxReads; ++reads) {
    std::this_thread::sleep_for(ReadInterval);
    std::string now;
    const bool exists = ReadWholeFile(fileName, now);
    if (exists == existed && now == last) {
      text = std::move(now);
      return exists;
    }
    last = std::move(now);
    existed = exists;
  }
  throw std::runtime_error(fileName + " kept changing while it was read (" +
                           std::to_string(MaxReads) + " reads 100 ms apart)");
}

}  // namespace

TSettings LoadSettings(const std::string& fileName) {
  std::string text;
  if (!ReadWholeFile(fileName, text)) return {};
  return FromIni(TIniFile(fileName, WithoutByteOrderMark(text)), nullptr);
}

TSettings LoadSettingsAtStart(const std::string& fileName, std::vector<std::string>& notes) {
  std::string text;
  if (!ReadWholeFile(fileName, text)) return {};
  return CheckedSettings(fileName, text, true, notes);
}

TSettings LoadSettingsForReload(const std::string& fileName, std::vector<std::string>& notes) {
  std::string text;
  if (!ReadSettled(fileName, text)) throw std::runtime_error("Cannot find file " + fileName);
  // The reload's refusal keeps its wording; the start, which stops, names the near miss.
  return CheckedSettings(fileName, text, false, notes);
}
