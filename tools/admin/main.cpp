// zarnel-admin: list the games of a server, hide them from viewers, offer them again or
// delete them.
#include <algorithm>
#include <iostream>

#include "common/TextUtil.h"
#include "common/UnitZarnelGlobal.h"
#include "tools/admin/AdminClient.h"
#include "tools/common/ToolCommon.h"

namespace {

// A server that does not know DELETEGAME answers nothing; the tool waits no longer than this
// (or --timeout, when shorter) before saying so.
constexpr int kDeleteAnswerSeconds = 10;

const char* const kUsage =
    "Usage: zarnel-admin [OPTIONS] list\n"
    "       zarnel-admin [OPTIONS] hide GAME\n"
    "       zarnel-admin [OPTIONS] show GAME\n"
    "       zarnel-admin [OPTIONS] delete GAME\n"
    "Manage the games of a Zarnel server through its admin port.\n"
    "\n"
    "Commands:\n"
    "  list       print every game with its viewer count and whether viewers may see it\n"
    "  hide GAME  withdraw GAME from viewers, then print its row\n"
    "  show GAME  offer GAME to viewers again, then print its row\n"
    "  delete GAME\n"
    "             remove GAME and its files from the server (refused while it has\n"
    "             viewers or is being filmed or mirrored); a server that does not\n"
    "             answer within 10 s (or --timeout) may not support it\n"
    "\n"
    "Options:\n"
    "  --host HOST           server name, IPv4 or IPv6 address (default 127.0.0.1)\n"
    "  --port PORT           admin port (default 28400)\n"
    "  --password-file FILE  read the admin password from the first line of FILE\n"
    "  --timeout SECONDS     give up connecting or waiting for an answer after SECONDS\n"
    "                        (default 30)\n"
    "  -h, --help            print this help and exit\n"
    "\n"
    "The password is read from --password-file, else from the environment variable\n"
    "ZARNEL_ADMIN_PASSWORD, else it is empty; it is never taken as an argument.\n"
    "GAME is matched exactly, or else without regard to case when only one game matches.\n"
    "\n"
    "Exit status: 0 done; 1 failed (no connection, refused password, unknown game);\n"
    "2 bad arguments.\n";

int Run(const tools::TArgs& args) {
  const auto& words = args.Positional();
  if (words.empty()) throw tools::TUsageError("no command given");
  const std::string& command = words[0];
  const bool change = command == "hide" || command == "show" || command == "delete";
  if (command != "list" && !change) throw tools::TUsageError("unknown command " + command);
  if (words.size() != (change ? 2u : 1u))
    throw tools::TUsageError(change ? command + " needs exactly one GAME"
                                    : "list takes no arguments");

  const std::string password = tools::PasswordFrom(args, "ZARNEL_ADMIN_PASSWORD");
  tools::TToolClient client(args.Value("host", "127.0.0.1"),
                            static_cast<std::uint16_t>(args.Int("port", AdminPort, 1, 65535)),
                            args.Int("timeout", 30, 1, 3600));
  client.Connect();
  try {
    tools::TAdminClient admin(client);
    admin.Login(password);
    auto games = admin.ListGames();
    if (!change) {
      std::cout << tools::FormatGames(games);
      return tools::ExitOk;
    }
    // A damaged game is left out of the list, yet can be deleted by its exact name.
    const bool listed = std::any_of(games.begin(), games.end(), [&](const auto& row) {
      return UpperCase(row.Name) == UpperCase(words[1]);
    });
    const std::string game =
        command == "delete" && !listed ? words[1] : tools::ResolveGame(games, words[1]);
    if (command == "delete") {
      admin.DeleteGame(game, std::min(client.TimeoutSeconds(), kDeleteAnswerSeconds));
      std::cout << "Deleted " << game << "\n";
      return tools::ExitOk;
    }
    const bool available = command == "show";
    admin.SetAvailable(game, available);
    // The server answers a change with nothing: a second list on the same connection, which
    // the server handles after the change, confirms it.
    games = admin.ListGames();
    for (const auto& row : games) {
      if (row.Name != game) continue;
      if (row.Available != available) throw tools::TToolError("the server did not change " + game);
      std::cout << tools::FormatGames({row});
      return tools::ExitOk;
    }
    throw tools::TToolError("game " + game + " disappeared from the server");
  } catch (const EIdException& e) {
    throw tools::TToolError(client.Describe(e));
  }
}

}  // namespace

int main(int argc, char** argv) {
  return tools::RunTool("zarnel-admin", kUsage, argc, argv,
                        {"host", "port", "password-file", "timeout"}, {}, Run);
}
