// Admin sessions driven by arbitrary bytes, the password step included.
#include <filesystem>

#include "SessionHarness.h"
#include "admin/AdminService.h"

namespace {

struct TAdminFuzz {
  TAdminFuzz() {
    TSettings changed;
    changed.AdminPassword = "pw";
    settings.Set(changed);
  }
  TSettingsHolder settings;
  fuzz::TSessionHarness harness{[](const std::string& base) {
    std::filesystem::create_directories(base + "Streams/GAME");
    fuzz::WriteFile(base + "Streams/GAME/info.ini", "[stream]\navailable=1\nviewers=2\n");
    fuzz::WriteFile(base + "Streams/PLAIN", "not a game");
  }};
  TLog log{fuzz::LogPath};
  TGameStore store{harness.Base() + "Streams/"};
  TAdminService service{settings, log, store};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto* fuzz = new TAdminFuzz;
  fuzz->harness.Run([](TIdPeerThread& t) { fuzz->service.Execute(t); }, data, size);
  return 0;
}
