#include "server/SettingsReload.h"

#include <functional>
#include <string>
#include <type_traits>

namespace {

enum class TApply { Live, Restart };

struct TField {
  const char* Key;
  TApply Apply;
  bool Secret;  // logged by name only
  std::function<std::string(const TSettings&)> Show;
  std::function<void(TSettings& to, const TSettings& from)> Keep;
};

template <class T>
TField Field(const char* key, TApply apply, bool secret, T TSettings::*member) {
  auto show = [member](const TSettings& s) {
    if constexpr (std::is_same_v<T, std::string>)
      return s.*member;
    else
      return std::to_string(s.*member);
  };
  auto keep = [member](TSettings& to, const TSettings& from) { to.*member = from.*member; };
  return {key, apply, secret, show, keep};
}

// Every key of the file, in the order it is read.
const TField Fields[] = {
    Field("FilmMaxConnections", TApply::Live, false, &TSettings::FilmMaxConnections),
    Field("ViewMaxConnections", TApply::Live, false, &TSettings::ViewMaxConnections),
    Field("BandwidthBuffer", TApply::Live, false, &TSettings::BandwidthBuffer),
    Field("BandwidthNormal", TApply::Live, false, &TSettings::BandwidthNormal),
    Field("ViewerAuth", TApply::Live, false, &TSettings::ViewerAuth),
    Field("Debug", TApply::Live, false, &TSettings::Debug),
    Field("RelayEnabled", TApply::Restart, false, &TSettings::RelayEnabled),
    Field("RelayServer", TApply::Live, false, &TSettings::RelayServer),
    Field("RelayPassword", TApply::Live, true, &TSettings::RelayPassword),
    Field("RelayTimeout", TApply::Live, false, &TSettings::RelayTimeout),
    Field("AllowRelays", TApply::Restart, false, &TSettings::AllowRelays),
    Field("RelayAllowFrom", TApply::Restart, false, &TSettings::RelayAllowFrom),
    Field("filmpass", TApply::Live, true, &TSettings::FilmPassword),
    Field("AdminPassword", TApply::Live, true, &TSettings::AdminPassword),
    Field("StatusPort", TApply::Restart, false, &TSettings::StatusPort),
    Field("StatusAddress", TApply::Restart, false, &TSettings::StatusAddress),
    Field("LoginTimeout", TApply::Restart, false, &TSettings::LoginTimeout),
    Field("IdleTimeout", TApply::Live, false, &TSettings::IdleTimeout),
    Field("SendTimeout", TApply::Live, false, &TSettings::SendTimeout),
    Field("AdminMaxConnections", TApply::Live, false, &TSettings::AdminMaxConnections),
    Field("RelayMaxConnections", TApply::Live, false, &TSettings::RelayMaxConnections),
    Field("MaxLoginsPerAddress", TApply::Restart, false, &TSettings::MaxLoginsPerAddress),
    Field("KeepDays", TApply::Live, false, &TSettings::KeepDays),
    Field("StoreLimitMB", TApply::Live, false, &TSettings::StoreLimitMB),
    Field("MinFreeMB", TApply::Live, false, &TSettings::MinFreeMB),
};

void Append(std::string& list, const std::string& item) {
  if (!list.empty()) list += ", ";
  list += item;
}

}  // namespace

TReloadOutcome MergeReload(const TSettings& running, const TSettings& fresh) {
  TReloadOutcome out{fresh, "", ""};
  for (const TField& f : Fields) {
    const std::string before = f.Show(running);
    const std::string after = f.Show(fresh);
    if (before == after) continue;
    const std::string item = f.Secret ? std::string(f.Key) + " changed"
                                      : std::string(f.Key) + " " + before + " -> " + after;
    if (f.Apply == TApply::Live) {
      Append(out.Changed, item);
    } else {
      Append(out.NeedRestart, item);
      f.Keep(out.Applied, running);
    }
  }
  return out;
}
