#include "tools/view/ViewClient.h"

#include <algorithm>

#include "common/Protocol.h"
#include "common/TextUtil.h"

namespace tools {

namespace {
// More lines than any reply holds: the reply is not a list.
constexpr std::int32_t kMaxLines = 1000000;
}  // namespace

void TViewClient::Open(const std::string& user, const std::string& password) {
  auto& connection = FClient.Connection();
  FClient.Greet("zarnel-view", ViewProtocol, "view");

  const std::string login = connection.ReadLn();
  if (login == "NOAUTH") return;
  if (login != "AUTH") throw TToolError(FClient.Endpoint() + " sent " + login);
  if (user.empty())
    throw TToolError(
        "the server asks for a login: give --user (or ZARNEL_VIEW_USER) and a password");
  connection.WriteLn(user + "\t" + password);
  std::string reply = connection.ReadLn();
  if (NextField(reply, "\t") == "OK") return;
  const std::string inUse = " user is already logged in";
  if (reply.size() >= inUse.size() &&
      reply.compare(reply.size() - inUse.size(), inUse.size(), inUse) == 0)
    throw TAlreadyLoggedIn("login refused: " + reply);
  throw TToolError("login refused: " + reply);
}

std::vector<std::string> TViewClient::ListGames() {
  FClient.Connection().WriteLn("LISTGAMES");
  return ReadLines();
}

std::vector<std::string> TViewClient::ListSections(const std::string& game) {
  FClient.Connection().WriteLn("LISTSECTIONS\t" + game);
  return ReadLines();
}

void TViewClient::Request(const std::string& game, std::int32_t start, std::int32_t current,
                          bool audioOnly) {
  FClient.Connection().WriteLn("REQUEST\t" + game + "\t" + std::to_string(start) + "\t" +
                               std::to_string(current) + "\t" + (audioOnly ? "TRUE" : "FALSE"));
}

void TViewClient::RequireGame(const std::string& game) {
  const auto games = ListGames();
  if (std::find(games.begin(), games.end(), UpperCase(game)) == games.end())
    throw TToolError("no game named " + UpperCase(game) + " is offered to viewers");
}

std::vector<std::string> TViewClient::ReadLines() {
  auto& connection = FClient.Connection();
  const std::int32_t count = connection.ReadInteger();
  if (count < 0 || count > kMaxLines)
    throw TToolError(FClient.Endpoint() + " sent a line count of " + std::to_string(count));
  std::vector<std::string> lines;
  for (std::int32_t i = 0; i < count; ++i) lines.push_back(connection.ReadLn());
  return lines;
}

}  // namespace tools
