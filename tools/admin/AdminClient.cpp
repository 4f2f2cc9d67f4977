#include "tools/admin/AdminClient.h"

#include <algorithm>

#include "common/TextUtil.h"

namespace tools {

namespace {

// After a change it could not write, the admin session starts over at its password step and
// answers the next line, LISTGAMES, with "FAIL\tIncorrect Password". Read as a count, the
// first four bytes of that line are this value.
constexpr std::int32_t kFailAsCount = 0x4641494C;  // "FAIL"

// More games than any store holds: the reply is not a game list.
constexpr std::int32_t kMaxGames = 1000000;

}  // namespace

void TAdminClient::Login(const std::string& password) {
  auto& connection = FClient.Connection();
  connection.WriteLn(password);
  std::string reply = connection.ReadLn();
  if (reply == "OK") return;
  if (NextField(reply, "\t") == "FAIL") throw TToolError("the server refused: " + reply);
  throw TToolError(FClient.Endpoint() + " does not speak the admin protocol");
}

std::vector<TAdminGame> TAdminClient::ListGames() {
  auto& connection = FClient.Connection();
  connection.WriteLn("LISTGAMES");
  const std::int32_t count = connection.ReadInteger();
  if (count == kFailAsCount) {
    connection.ReadLn();
    throw TToolError("the server could not make the change (its log tells why)");
  }
  if (count < 0 || count > kMaxGames)
    throw TToolError(FClient.Endpoint() + " sent a game count of " + std::to_string(count));
  std::vector<TAdminGame> games;
  for (std::int32_t i = 0; i < count; ++i) {
    std::string line = connection.ReadLn();
    TAdminGame game;
    game.Name = NextField(line, "\t");
    if (!TryStrToInt(NextField(line, "\t"), game.Viewers)) game.Viewers = 0;
    game.Available = NextField(line, "\t") == "1";
    games.push_back(game);
  }
  std::sort(games.begin(), games.end(),
            [](const TAdminGame& a, const TAdminGame& b) { return a.Name < b.Name; });
  return games;
}

void TAdminClient::SetAvailable(const std::string& game, bool available) {
  auto& connection = FClient.Connection();
  connection.WriteLn("AVAILABLE\t" + game);
  connection.WriteInteger(available ? 1 : 0);
}

void TAdminClient::DeleteGame(const std::string& game, int answerSeconds) {
  auto& connection = FClient.Connection();
  connection.WriteLn("DELETEGAME\t" + game);
  const int readTimeout = connection.ReadTimeout;
  connection.ReadTimeout = answerSeconds * 1000;
  std::string reply;
  try {
    reply = connection.ReadLn();
  } catch (const EIdReadTimeout&) {
    throw TToolError("the server did not answer DELETEGAME (it may not support deleting games)");
  }
  connection.ReadTimeout = readTimeout;
  if (reply == "OK") return;
  std::string reason = reply;
  if (NextField(reason, "\t") == "FAIL")
    throw TToolError("the server did not delete " + game + ": " + reason);
  throw TToolError(FClient.Endpoint() + " answered DELETEGAME with: " + reply);
}

std::string ResolveGame(const std::vector<TAdminGame>& games, const std::string& name) {
  std::vector<std::string> matches;
  for (const auto& game : games) {
    if (game.Name == name) return name;
    if (UpperCase(game.Name) == UpperCase(name)) matches.push_back(game.Name);
  }
  if (matches.size() == 1) return matches.front();
  if (matches.empty()) throw TToolError("no game named " + name);
  std::string list;
  for (const auto& match : matches) list += (list.empty() ? "" : ", ") + match;
  throw TToolError("several games match " + name + ": " + list);
}

std::string FormatGames(const std::vector<TAdminGame>& games) {
  std::size_t nameWidth = 4;  // "GAME"
  for (const auto& game : games) nameWidth = std::max(nameWidth, game.Name.size());
  auto row = [&](const std::string& name, const std::string& viewers,
                 const std::string& available) {
    std::string line = name + std::string(nameWidth - name.size(), ' ') + "  ";
    line += std::string(7 - std::min<std::size_t>(7, viewers.size()), ' ') + viewers;
    return line + "  " + available + "\n";
  };
  std::string text = row("GAME", "VIEWERS", "AVAILABLE");
  for (const auto& game : games)
    text += row(game.Name, std::to_string(game.Viewers), game.Available ? "yes" : "no");
  return text;
}

}  // namespace tools
