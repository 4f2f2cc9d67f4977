// zarnel-film: upload a game from files laid out like a game directory of the server, at once
// or paced like a live filmer.
#include <chrono>
#include <filesystem>
#include <fstream>

#include "common/TextUtil.h"
#include "common/UnitZarnelGlobal.h"
#include "store/GameStore.h"
#include "tools/common/Progress.h"
#include "tools/common/ToolCommon.h"
#include "tools/film/FilmClient.h"
#include "tools/film/GameSource.h"

namespace {

const char* const kUsage =
    "Usage: zarnel-film [OPTIONS] DIR [GAME]\n"
    "Upload the game in DIR to a Zarnel server through its film port, as GAME (default: the\n"
    "name of DIR; the server upper-cases it). DIR is laid out like a game folder of the\n"
    "server's Streams/: info.ini (types, size and block) and one file stream_S_N per\n"
    "stream S and section N. The upload ends by declaring the game complete.\n"
    "\n"
    "Options:\n"
    "  --host HOST           server name, IPv4 or IPv6 address (default 127.0.0.1)\n"
    "  --port PORT           film port (default 28200)\n"
    "  --password-file FILE  read the film password from the first line of FILE\n"
    "  --timeout SECONDS     give up connecting, or on a server that stops answering or\n"
    "                        taking data, after SECONDS (default 30)\n"
    "  --resume              continue an upload of GAME that stopped: the server keeps what\n"
    "                        it has and gets the rest\n"
    "  --pace SECONDS        send one section per SECONDS, spread over the interval, so the\n"
    "                        game plays as if it were filmed live\n"
    "  -h, --help            print this help and exit\n"
    "\n"
    "The password is read from --password-file, else from the environment variable\n"
    "ZARNEL_FILM_PASSWORD, else it is empty; it is never taken as an argument.\n"
    "Progress goes to standard error. Ctrl-C stops an upload; --resume continues it.\n"
    "\n"
    "Exit status: 0 done; 1 failed; 2 bad arguments; 130 or 143 interrupted.\n";

// Bytes per data block.
constexpr std::int32_t kBlockSize = 65536;

using Clock = std::chrono::steady_clock;

struct TBlock {
  std::int32_t Stream;
  std::int64_t Offset;
  std::int32_t Length;
};

// The blocks still to send of a section, taking the streams in turn as a live filmer does.
std::vector<TBlock> PlanBlocks(const tools::TSourceSection& section,
                               const std::vector<std::int32_t>& held) {
  std::vector<TBlock> blocks;
  std::vector<std::int64_t> next(held.begin(), held.end());
  for (bool more = true; more;) {
    more = false;
    for (std::size_t i = 0; i < section.Streams.size(); ++i) {
      const std::int64_t left = section.Streams[i].Length - next[i];
      if (left <= 0) continue;
      const auto length = static_cast<std::int32_t>(std::min<std::int64_t>(left, kBlockSize));
      blocks.push_back({static_cast<std::int32_t>(i), next[i], length});
      next[i] += length;
      more = true;
    }
  }
  return blocks;
}

// Sends one section: the bytes the server lacks, then the end of each stream; with Pace
// above 0 spread over Pace seconds.
void SendSection(tools::TFilmClient& film, const tools::TSourceSection& section, double pace,
                 tools::TProgress& progress) {
  const auto held = film.Transmit(section);
  for (std::size_t i = 0; i < held.size(); ++i)
    if (held[i] < 0 || held[i] > section.Streams[i].Length)
      throw tools::TToolError("the server holds " + std::to_string(held[i]) + " bytes of " +
                              section.Streams[i].Path + ", which has only " +
                              std::to_string(section.Streams[i].Length));
  progress.StartSection(section.Number, static_cast<int>(section.Streams.size()));
  const auto blocks = PlanBlocks(section, held);
  std::vector<std::ifstream> files;
  for (const auto& stream : section.Streams) {
    files.emplace_back(stream.Path, std::ios::binary);
    if (!files.back()) throw tools::TToolError("cannot read " + stream.Path);
  }
  const auto start = Clock::now();
  std::string buffer;
  for (std::size_t j = 0; j < blocks.size(); ++j) {
    const TBlock& block = blocks[j];
    if (pace > 0) {
      const double due = pace * static_cast<double>(j) / static_cast<double>(blocks.size());
      const double wait = due - std::chrono::duration<double>(Clock::now() - start).count();
      if (wait > 0) tools::SleepInterruptibly(wait);
    }
    tools::CheckInterrupt();
    auto& file = files[static_cast<std::size_t>(block.Stream)];
    buffer.resize(static_cast<std::size_t>(block.Length));
    file.seekg(block.Offset);
    file.read(buffer.data(), block.Length);
    if (file.gcount() != block.Length)
      throw tools::TToolError("cannot read " + section.Streams[block.Stream].Path);
    film.SendBlock(block.Stream, buffer.data(), block.Length);
    progress.Add(block.Length);
  }
  for (std::size_t i = 0; i < section.Streams.size(); ++i)
    film.EndStream(static_cast<std::int32_t>(i));
  progress.EndSection();
  if (pace > 0 && !blocks.empty()) {
    const double wait = pace - std::chrono::duration<double>(Clock::now() - start).count();
    if (wait > 0) tools::SleepInterruptibly(wait);
  }
}

int Run(const tools::TArgs& args) {
  const auto& words = args.Positional();
  if (words.empty() || words.size() > 2) throw tools::TUsageError("give DIR and at most one GAME");
  const std::string dir = words[0];
  std::string game = words.size() == 2
                         ? words[1]
                         : std::filesystem::path(dir).lexically_normal().filename().string();
  if (game.empty() && words.size() == 1)
    game = std::filesystem::path(dir).lexically_normal().parent_path().filename().string();
  if (!IsValidGameName(game) || game.find_first_of("\t\r\n") != std::string::npos)
    throw tools::TUsageError("'" + game + "' cannot be a game name");
  const double pace = args.Seconds("pace", 0);
  const bool resume = args.Has("resume");
  tools::TToolClient client(args.Value("host", "127.0.0.1"),
                            static_cast<std::uint16_t>(args.Int("port", FilmPort, 1, 65535)),
                            args.Int("timeout", 30, 1, 3600));
  const auto sections = tools::ReadGameSource(dir);
  const std::string password = tools::PasswordFrom(args, "ZARNEL_FILM_PASSWORD");

  auto progress = tools::TProgress::ForStderr("sent");
  tools::InstallInterruptHandlers();
  client.Connect();
  try {
    tools::TFilmClient film(client);
    film.Open(password, resume, game);
    for (const auto& section : sections) SendSection(film, section, pace, progress);
    film.Complete();
  } catch (const tools::TInterrupted&) {
    progress.Note("upload stopped; continue it with --resume");
    throw;
  } catch (const EIdException& e) {
    tools::CheckInterrupt();
    throw tools::TToolError(client.Describe(e));
  }
  progress.Note(UpperCase(game) + " uploaded: " + std::to_string(sections.size()) +
                (sections.size() == 1 ? " section" : " sections"));
  return tools::ExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  return tools::RunTool("zarnel-film", kUsage, argc, argv,
                        {"host", "port", "password-file", "timeout", "pace"}, {"resume"}, Run);
}
