// zarnel-view: list a server's games and sections, and download a game while it is filmed.
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <optional>

#include "common/TextUtil.h"
#include "common/UnitZarnelGlobal.h"
#include "tools/common/Progress.h"
#include "tools/common/ToolCommon.h"
#include "tools/view/ViewClient.h"
#include "tools/view/Watch.h"

namespace {

const char* const kUsage =
    "Usage: zarnel-view [OPTIONS] list\n"
    "       zarnel-view [OPTIONS] sections GAME\n"
    "       zarnel-view [OPTIONS] watch GAME --out DIR [--from N] [--audio-only] [--resume]\n"
    "Watch games on a Zarnel server through its view port.\n"
    "\n"
    "Commands:\n"
    "  list           print the games offered to viewers, one per line\n"
    "  sections GAME  print one summary line per section of GAME\n"
    "  watch GAME     receive GAME into DIR, following a live game until it is complete;\n"
    "                 DIR gets one file stream_S_N per stream S and section N (S counts\n"
    "                 the streams sent, so with --audio-only the first audio stream is 0)\n"
    "                 and watch.ini, the record of the download\n"
    "\n"
    "Options:\n"
    "  --host HOST           server name, IPv4 or IPv6 address (default 127.0.0.1)\n"
    "  --port PORT           view port (default 28100)\n"
    "  --user NAME           user name, when the server asks for a login\n"
    "                        (default: environment variable ZARNEL_VIEW_USER)\n"
    "  --password-file FILE  read the password from the first line of FILE\n"
    "  --timeout SECONDS     give up connecting or waiting for the server after SECONDS\n"
    "                        (default 30)\n"
    "  --out DIR             folder to write the game into (watch)\n"
    "  --from N              first section to watch (default 0)\n"
    "  --audio-only          receive only the audio streams\n"
    "  --resume              continue the download that DIR holds where it stopped\n"
    "  -h, --help            print this help and exit\n"
    "\n"
    "The password is read from --password-file, else from the environment variable\n"
    "ZARNEL_VIEW_PASSWORD; it is never taken as an argument. A Demo stream of every section\n"
    "after the first one watched starts after its header, as the server sends it.\n"
    "Progress goes to standard error. Ctrl-C stops a download; --resume continues it.\n"
    "\n"
    "Exit status: 0 done; 1 failed; 2 bad arguments; 130 or 143 interrupted.\n";

tools::TWatchOptions WatchOptions(const tools::TArgs& args, const std::string& game) {
  tools::TWatchOptions options;
  options.Game = UpperCase(game);
  options.From = args.Int("from", 0, 0, INT32_MAX);
  options.AudioOnly = args.Has("audio-only");
  options.Resume = args.Has("resume");
  options.OutDir = args.Value("out", "");
  if (options.OutDir.empty()) throw tools::TUsageError("watch needs --out DIR");
  if (options.OutDir.back() != '/') options.OutDir += '/';
  return options;
}

void Watch(tools::TToolClient& client, tools::TViewClient& view, tools::TWatch& watch,
           tools::TProgress& progress) {
  const auto& options = watch.Options();
  tools::InstallInterruptHandlers();
  try {
    view.RequireGame(options.Game);
    view.Request(options.Game, options.From, watch.CurrentSection(), options.AudioOnly);
    watch.Receive(client.Connection());
  } catch (const tools::TInterrupted&) {
    progress.Note("stopped at section " + std::to_string(watch.CurrentSection()) +
                  "; continue with --resume");
    throw;
  }
  progress.Note(options.Game + " received completely");
}

constexpr int kLoginAttempts = 8;
constexpr double kLoginRetrySeconds = 0.5;

int Run(const tools::TArgs& args) {
  const auto& words = args.Positional();
  if (words.empty()) throw tools::TUsageError("no command given");
  const std::string& command = words[0];
  const bool withGame = command == "sections" || command == "watch";
  if (command != "list" && !withGame) throw tools::TUsageError("unknown command " + command);
  if (words.size() != (withGame ? 2u : 1u))
    throw tools::TUsageError(withGame ? command + " needs exactly one GAME"
                                      : "list takes no arguments");
  if (command != "watch")
    for (const char* option : {"out", "from", "audio-only", "resume"})
      if (args.Has(option))
        throw tools::TUsageError(std::string("--") + option + " belongs to watch");

  const char* envUser = std::getenv("ZARNEL_VIEW_USER");
  const std::string user = args.Value("user", envUser ? envUser : "");
  tools::TToolClient client(args.Value("host", "127.0.0.1"),
                            static_cast<std::uint16_t>(args.Int("port", ViewPort, 1, 65535)),
                            args.Int("timeout", 30, 1, 3600));
  auto progress = tools::TProgress::ForStderr("received");
  std::optional<tools::TWatch> watch;
  if (command == "watch") {
    watch.emplace(WatchOptions(args, words[1]), args.Has("from"), progress);
    if (watch->Complete()) {
      progress.Note(watch->Options().OutDir + " holds the whole game already");
      return tools::ExitOk;
    }
  }
  const std::string password = tools::PasswordFrom(args, "ZARNEL_VIEW_PASSWORD");
  try {
    tools::TViewClient view(client);
    // A name whose earlier session (a watch just ended or interrupted) the server has not
    // yet seen closing is freed within a few of its send cycles: try again for a while.
    for (int attempt = 1;; ++attempt) {
      client.Connect();
      try {
        view.Open(user, password);
        break;
      } catch (const tools::TAlreadyLoggedIn&) {
        if (attempt == kLoginAttempts) throw;
        client.Connection().Disconnect();
        tools::SleepInterruptibly(kLoginRetrySeconds);
      }
    }
    if (command == "list") {
      auto games = view.ListGames();
      std::sort(games.begin(), games.end());
      for (const auto& game : games) std::cout << game << "\n";
    } else if (command == "sections") {
      view.RequireGame(words[1]);
      for (const auto& line : view.ListSections(UpperCase(words[1]))) std::cout << line << "\n";
    } else {
      Watch(client, view, *watch, progress);
    }
    return tools::ExitOk;
  } catch (const EIdException& e) {
    throw tools::TToolError(client.Describe(e));
  }
}

}  // namespace

int main(int argc, char** argv) {
  return tools::RunTool("zarnel-view", kUsage, argc, argv,
                        {"host", "port", "user", "password-file", "timeout", "out", "from"},
                        {"audio-only", "resume"}, Run);
}
