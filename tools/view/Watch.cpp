#include "tools/view/Watch.h"

#include <filesystem>
#include <system_error>

#include "common/Protocol.h"
#include "store/GameStore.h"
#include "store/IniFile.h"
#include "tools/common/ToolCommon.h"

namespace tools {

namespace {

// Messages of the sender while it waits for a section, and in place of a slot while it sends.
constexpr std::size_t kChunk = 65536;

std::string Key(std::int32_t slot, std::int32_t section) {
  return std::to_string(slot) + "_" + std::to_string(section);
}

}  // namespace

TWatch::TWatch(TWatchOptions options, bool fromGiven, TProgress& progress)
    : FOptions(std::move(options)), FProgress(progress) {
  std::error_code ec;
  std::filesystem::create_directories(FOptions.OutDir, ec);
  if (!std::filesystem::is_directory(FOptions.OutDir))
    throw TToolError("cannot create the folder " + FOptions.OutDir);
  FCurrent = FOptions.From;
  if (!FOptions.Resume) {
    std::filesystem::remove(FOptions.OutDir + StateFile, ec);
    return;
  }
  // Without a record the download starts at --from, continuing the files found there.
  FResumeOffsets = true;
  const TIniFile state(FOptions.OutDir + StateFile);
  const std::string game = state.ReadString("watch", "game", "");
  if (game.empty()) return;
  if (game != FOptions.Game)
    throw TToolError(FOptions.OutDir + " holds a download of " + game + ", not " + FOptions.Game);
  const std::int32_t from = state.ReadInteger("watch", "from", 0);
  if (fromGiven && from != FOptions.From)
    throw TToolError(FOptions.OutDir + " holds a download from section " + std::to_string(from) +
                     "; resume it with --from " + std::to_string(from));
  const bool audioOnly = state.ReadBool("watch", "audioonly", false);
  if (FOptions.AudioOnly && !audioOnly)
    throw TToolError(FOptions.OutDir + " holds a download of all streams, not --audio-only");
  FOptions.From = from;
  FOptions.AudioOnly = audioOnly;
  FCurrent = std::max(from, state.ReadInteger("watch", "section", from));
  FComplete = state.ReadBool("watch", "complete", false);
}

void TWatch::Receive(TIdTCPConnection& connection) {
  bool offsetsSent = false;
  try {
    for (;;) {
      CheckInterrupt();
      const std::int32_t message = connection.ReadInteger();
      offsetsSent = false;
      if (FSlots.empty()) {
        if (message == ViewUnavailable)
          throw TToolError(FOptions.Game + " is no longer offered to viewers");
        if (message == ViewGameComplete) {
          FComplete = true;
          SaveState();
          return;
        }
        if (message == ViewKeepAlive) {
          FProgress.Waiting("waiting for section " + std::to_string(FCurrent));
          continue;
        }
        if (message < 0 || message > MaxStreams)
          throw TToolError("the server announced " + std::to_string(message) + " streams");
        offsetsSent = FResumeOffsets;
        Announce(connection, message);
        continue;
      }
      if (message == ViewSendKeepAlive) continue;
      if (message < 0 || message >= static_cast<std::int32_t>(FSlots.size()))
        throw TToolError("the server sent data for slot " + std::to_string(message));
      TSlot& slot = FSlots[static_cast<std::size_t>(message)];
      const std::int32_t kind = connection.ReadInteger();
      if (!slot.File)
        throw TToolError("the server sent more for slot " + std::to_string(message) +
                         " after its end");
      if (kind == ViewKindData)
        ReceiveData(connection, slot, connection.ReadInteger());
      else if (kind == ViewKindComplete)
        CompleteSlot(message);
      else
        throw TToolError("the server sent a message of kind " + std::to_string(kind));
    }
  } catch (const EIdConnClosedGracefully&) {
    CheckInterrupt();
    if (!offsetsSent) throw;
    throw TToolError("the server refused to continue section " + std::to_string(FCurrent) + ": " +
                     FOptions.OutDir + " holds more of it than the server has");
  } catch (const EIdException&) {
    CheckInterrupt();
    throw;
  }
}

void TWatch::Announce(TIdTCPConnection& connection, std::int32_t count) {
  FSlots.resize(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    TSlot& slot = FSlots[static_cast<std::size_t>(i)];
    slot.Type = connection.ReadInteger();
    slot.Lead = connection.ReadInteger();
    slot.Expected = connection.ReadInteger();
  }
  for (std::int32_t i = 0; i < count; ++i) {
    TSlot& slot = FSlots[static_cast<std::size_t>(i)];
    const std::string path = SlotPath(i, FCurrent);
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    slot.Received = FResumeOffsets && !ec ? static_cast<std::int64_t>(size) : 0;
    if (slot.Received > INT32_MAX) throw TToolError(path + " is larger than any stream section");
    slot.File = std::make_unique<std::ofstream>(
        path, std::ios::binary | (slot.Received > 0 ? std::ios::app : std::ios::trunc));
    if (!*slot.File) throw TToolError("cannot write " + path);
    connection.WriteInteger(static_cast<std::int32_t>(slot.Received));
  }
  FResumeOffsets = false;
  FOpen = count;
  SaveState();
  FProgress.StartSection(FCurrent, count);
}

void TWatch::ReceiveData(TIdTCPConnection& connection, TSlot& slot, std::int32_t length) {
  if (length < 0)
    throw TToolError("the server sent a block of " + std::to_string(length) + " bytes");
  std::string buffer;
  for (std::int32_t left = length; left > 0;) {
    const std::size_t piece = std::min<std::size_t>(kChunk, static_cast<std::size_t>(left));
    buffer.resize(piece);
    connection.ReadBuffer(buffer.data(), piece);
    slot.File->write(buffer.data(), static_cast<std::streamsize>(piece));
    if (!*slot.File) throw TToolError("cannot write to " + FOptions.OutDir);
    slot.Received += static_cast<std::int64_t>(piece);
    left -= static_cast<std::int32_t>(piece);
    FProgress.Add(static_cast<std::int64_t>(piece));
  }
}

void TWatch::CompleteSlot(std::int32_t index) {
  TSlot& slot = FSlots[static_cast<std::size_t>(index)];
  slot.File->close();
  if (!*slot.File) throw TToolError("cannot write " + SlotPath(index, FCurrent));
  slot.File.reset();
  if (slot.Received != slot.Expected)
    FProgress.Note("note: section " + std::to_string(FCurrent) + " stream " +
                   std::to_string(index) + " holds " + std::to_string(slot.Received) +
                   " bytes; the server announced " + std::to_string(slot.Expected));
  if (--FOpen > 0) return;
  FProgress.EndSection();
  FSlots.clear();
  ++FCurrent;
  SaveState();
}

std::string TWatch::SlotPath(std::int32_t slot, std::int32_t section) const {
  return FOptions.OutDir + StreamFileName(slot, section);
}

void TWatch::SaveState() {
  TIniFile state(FOptions.OutDir + StateFile);
  state.WriteString("watch", "game", FOptions.Game);
  state.WriteInteger("watch", "from", FOptions.From);
  state.WriteBool("watch", "audioonly", FOptions.AudioOnly);
  state.WriteInteger("watch", "section", FCurrent);
  state.WriteBool("watch", "complete", FComplete);
  for (std::size_t i = 0; i < FSlots.size(); ++i) {
    const std::string key = Key(static_cast<std::int32_t>(i), FCurrent);
    state.WriteInteger("types", key, FSlots[i].Type);
    state.WriteInteger("lead", key, FSlots[i].Lead);
    state.WriteInteger("size", key, FSlots[i].Expected);
  }
  state.SaveFile();
}

}  // namespace tools
