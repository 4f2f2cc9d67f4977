#include "store/SectionSummary.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "common/FileUtil.h"

namespace {

const char* const SummaryHeader =
    "Time,Map,\"Team 1\",\"Team 1 Score\",\"Team 2\",\"Team 2 Score\",,Audio,,,,";
constexpr std::size_t RecordSize = 1032;
constexpr std::size_t SummaryOffset = 4;
constexpr std::size_t SummarySize = 1024;
constexpr std::size_t MarkerOffset = 1028;

std::string SummaryLine(int section, const std::string& text) {
  return "\"" + std::to_string(section) + "\"," + text;
}

}  // namespace

bool ReadSectionSummary(const std::string& path, int section, std::string& line) {
  const TFileHandle fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) throw EFOpenError(path);
  // A record cut short reads its missing bytes as zero.
  std::array<char, RecordSize> record{};
  const ssize_t got = ReadUpTo(fd.Get(), record.data(), record.size());
  if (got < 0) throw EFOpenError(path);
  if (got == 0) {
    line = SummaryLine(section, SummaryHeader);
    return true;
  }
  std::uint32_t marker = 0;
  std::memcpy(&marker, record.data() + MarkerOffset, sizeof marker);
  if (marker == 0) return false;
  const char* text = record.data() + SummaryOffset;
  std::string summary(text, ::strnlen(text, SummarySize));
  // The text comes from the filmer; a line break in it would break the reply's line count.
  std::replace_if(
      summary.begin(), summary.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  line = SummaryLine(section, summary);
  return true;
}
