#include "tools/film/GameSource.h"

#include <charconv>
#include <filesystem>
#include <map>

#include "common/Protocol.h"
#include "store/GameStore.h"
#include "store/IniFile.h"
#include "tools/common/ToolCommon.h"

namespace tools {

namespace {

bool ParseNumber(const std::string& text, std::int32_t& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty() && value >= 0;
}

// Stream and section numbers of a name "stream_N_S"; false for any other name.
bool ParseStreamFile(const std::string& name, std::int32_t& stream, std::int32_t& section) {
  const std::string prefix = "stream_";
  if (name.rfind(prefix, 0) != 0) return false;
  const std::string rest = name.substr(prefix.size());
  const auto cut = rest.find('_');
  return cut != std::string::npos && ParseNumber(rest.substr(0, cut), stream) &&
         ParseNumber(rest.substr(cut + 1), section);
}

}  // namespace

std::vector<TSourceSection> ReadGameSource(const std::string& dirName) {
  namespace fs = std::filesystem;
  const std::string dir = dirName.empty() || dirName.back() == '/' ? dirName : dirName + "/";
  if (!fs::is_regular_file(dir + "info.ini"))
    throw TToolError(dir + "info.ini is missing: " + dirName + " is not a game folder");
  const TIniFile info(dir + "info.ini");

  // Highest stream number + 1 per section that has files.
  std::map<std::int32_t, std::int32_t> streamCounts;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    std::int32_t stream = 0, section = 0;
    if (!ParseStreamFile(entry.path().filename().string(), stream, section)) continue;
    if (stream >= MaxStreams)
      throw TToolError(entry.path().string() + ": a section holds at most 3 streams");
    streamCounts[section] = std::max(streamCounts[section], stream + 1);
  }
  if (ec) throw TToolError("cannot read " + dirName + ": " + ec.message());
  if (streamCounts.empty()) throw TToolError(dirName + " holds no stream_N_S files");

  std::vector<TSourceSection> sections;
  const std::int32_t last = streamCounts.rbegin()->first;
  for (std::int32_t number = 0; number <= last; ++number) {
    if (!streamCounts.count(number))
      throw TToolError(dir + StreamFileName(0, number) + " is missing");
    TSourceSection section;
    section.Number = number;
    for (std::int32_t stream = 0; stream < streamCounts[number]; ++stream) {
      TSourceStream source;
      source.Path = dir + StreamFileName(stream, number);
      const auto length = fs::file_size(source.Path, ec);
      if (ec) throw TToolError(source.Path + " is missing");
      if (length > static_cast<std::uintmax_t>(INT32_MAX))
        throw TToolError(source.Path + " is larger than a stream section may be");
      source.Length = static_cast<std::int64_t>(length);
      const std::string key = std::to_string(stream) + "_" + std::to_string(number);
      source.Type = info.ReadInteger("types", std::to_string(stream), 0);
      source.Size = info.ReadInteger("size", key, static_cast<std::int32_t>(length));
      source.Block = info.ReadInteger("block", key, 0);
      section.Streams.push_back(source);
    }
    sections.push_back(section);
  }
  return sections;
}

}  // namespace tools
