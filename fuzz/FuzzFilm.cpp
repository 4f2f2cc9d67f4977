// Film sessions driven by arbitrary bytes against a store holding one game to resume.
#include <filesystem>

#include "SessionHarness.h"
#include "film/FilmService.h"

namespace {

struct TFilmFuzz {
  TFilmFuzz() {
    TSettings changed;
    changed.FilmPassword = "pw";
    settings.Set(changed);
  }
  TSettingsHolder settings;
  fuzz::TSessionHarness harness{[](const std::string& base) {
    std::filesystem::create_directories(base + "Streams/GAME");
    fuzz::WriteFile(base + "Streams/GAME/info.ini", "[stream]\navailable=1\n[block]\n0_0=4\n");
    fuzz::WriteFile(base + "Streams/GAME/stream_0_0", "head");
  }};
  TLog log{fuzz::LogPath};
  TGameStore store{harness.Base() + "Streams/"};
  TFilmService service{settings, log, store};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto* fuzz = new TFilmFuzz;
  fuzz->harness.Run([](TIdPeerThread& t) { fuzz->service.Execute(t); }, data, size);
  return 0;
}
