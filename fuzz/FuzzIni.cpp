// The INI parser and the integer conversion: whatever the bytes, parsing, writing and parsing
// again gives the same text, and every value read converts back to itself.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/TextUtil.h"
#include "store/IniFile.h"

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "round trip broken: %s\n", what);
  std::abort();
}

const std::string& ScratchFile() {
  static const std::string name = [] {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/zarnel-fuzz-ini." +
           std::to_string(::getpid());
  }();
  return name;
}

void WriteScratch(const std::string& text) {
  FILE* f = std::fopen(ScratchFile().c_str(), "wb");
  Check(f != nullptr, "scratch file");
  Check(std::fwrite(text.data(), 1, text.size(), f) == text.size(), "scratch write");
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  std::int32_t value = 0;
  if (TryStrToInt(input, value)) {
    std::int32_t again = 0;
    Check(TryStrToInt(std::to_string(value), again) && again == value, "TryStrToInt");
  }

  WriteScratch(input);
  TMemIniFile first(ScratchFile());
  const std::string text = first.Text();
  first.SaveFile();
  const TMemIniFile second(ScratchFile());
  Check(second.Text() == text, "parse, write, parse");

  // A value written is read back as written; the file keeps its other content.
  TMemIniFile third(ScratchFile());
  third.WriteInteger("fuzz", "n", value);
  third.SaveFile();
  Check(TMemIniFile(ScratchFile()).ReadInteger("fuzz", "n", value ^ 1) == value, "integer");
  ::unlink(ScratchFile().c_str());
  return 0;
}
