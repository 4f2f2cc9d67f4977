// A game read from files laid out like a game directory of the server: info.ini with the
// stream types, sizes and header lengths, and one stream_N_S file per stream and section.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

struct TSourceStream {
  std::int32_t Type = 0;   // 0 Demo, 1 Audio (OGG)
  std::int32_t Size = 0;   // as announced to the server: info.ini's size, else the file's length
  std::int32_t Block = 0;  // header length
  std::string Path;
  std::int64_t Length = 0;  // bytes in the file
};

struct TSourceSection {
  std::int32_t Number = 0;
  std::vector<TSourceStream> Streams;  // by stream number
};

// Reads Dir; raises TToolError when info.ini is missing, a stream or section has no file, or
// a section holds more than three streams.
std::vector<TSourceSection> ReadGameSource(const std::string& dir);

}  // namespace tools
