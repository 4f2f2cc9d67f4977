// The view protocol of port 28100 up to the request, as a viewer speaks it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/ToolCommon.h"

namespace tools {

// The server still counts the user name as logged in; it frees a name once it notices that
// the session ended, which for a session that was streaming takes up to a few send cycles.
class TAlreadyLoggedIn : public TToolError {
 public:
  using TToolError::TToolError;
};

class TViewClient {
 public:
  explicit TViewClient(TToolClient& client) : FClient(client) {}
  // Greeting and protocol check, then the login when the server asks for one.
  // Raises TToolError on a refusal (TAlreadyLoggedIn for a name in use), or when a login is
  // asked for and User is empty.
  void Open(const std::string& user, const std::string& password);
  // The names of the games offered to viewers, in the server's order.
  std::vector<std::string> ListGames();
  // One summary line per section of Game.
  std::vector<std::string> ListSections(const std::string& game);
  // Asks for Game from Start on, beginning with Current; the streaming follows.
  void Request(const std::string& game, std::int32_t start, std::int32_t current, bool audioOnly);
  // Raises TToolError unless Game (upper-cased, as the server addresses it) is offered.
  void RequireGame(const std::string& game);

 private:
  std::vector<std::string> ReadLines();

  TToolClient& FClient;
};

}  // namespace tools
