// The film protocol of port 28200, as a filmer speaks it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/ToolCommon.h"
#include "tools/film/GameSource.h"

namespace tools {

class TFilmClient {
 public:
  explicit TFilmClient(TToolClient& client) : FClient(client) {}
  // Greeting, protocol check and authentication for Game, new or resumed.
  // Raises TToolError when the server refuses.
  void Open(const std::string& password, bool resume, const std::string& game);
  // Sets up Section; returns the length the server already holds of each stream's file.
  std::vector<std::int32_t> Transmit(const TSourceSection& section);
  // Appends Length bytes of Data to Stream of the current section.
  void SendBlock(std::int32_t stream, const char* data, std::int32_t length);
  // Ends Stream of the current section.
  void EndStream(std::int32_t stream);
  // Declares the game finished and waits until the server has closed the connection.
  void Complete();

 private:
  TToolClient& FClient;
};

}  // namespace tools
