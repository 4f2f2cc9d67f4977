// The admin protocol of port 28400, as the operator's tool speaks it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/ToolCommon.h"

namespace tools {

struct TAdminGame {
  std::string Name;
  std::int32_t Viewers = 0;
  bool Available = false;
};

class TAdminClient {
 public:
  explicit TAdminClient(TToolClient& client) : FClient(client) {}
  // Sends the password; raises TToolError when the server refuses it.
  void Login(const std::string& password);
  // Every game of the store with its viewer count and availability.
  std::vector<TAdminGame> ListGames();
  // Sets or clears Game's availability (the server sends no answer).
  void SetAvailable(const std::string& game, bool available);
  // Asks the server to delete Game; raises TToolError with the server's reason when it
  // refuses, and when no answer comes within AnswerSeconds (a server that does not know the
  // command says nothing).
  void DeleteGame(const std::string& game, int answerSeconds);

 private:
  TToolClient& FClient;
};

// The stored name that Name stands for: the exact name, else the one name that matches
// without regard to case. Raises TToolError when there is none or more than one.
std::string ResolveGame(const std::vector<TAdminGame>& games, const std::string& name);

// The games as an aligned table with a heading: name, viewers, available yes/no.
std::string FormatGames(const std::vector<TAdminGame>& games);

}  // namespace tools
