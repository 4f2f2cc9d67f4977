// Receives a requested game into a folder: one file per stream and section, with a record of
// how far it got, so that an interrupted download can continue where it stopped.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "net/IdTCPConnection.h"
#include "tools/common/Progress.h"

namespace tools {

struct TWatchOptions {
  std::string Game;  // upper-cased
  std::int32_t From = 0;
  bool AudioOnly = false;
  bool Resume = false;
  std::string OutDir;  // with a trailing "/"
};

class TWatch {
 public:
  // File in the output folder that records the download.
  static constexpr const char* StateFile = "watch.ini";

  // Creates the output folder; with Resume, reads its record and checks it matches Options
  // (FromGiven: whether --from was given; otherwise the record's start section is used).
  TWatch(TWatchOptions options, bool fromGiven, TProgress& progress);
  const TWatchOptions& Options() const { return FOptions; }
  // The section to ask for first.
  std::int32_t CurrentSection() const { return FCurrent; }
  // True when the record says the whole game has been received already.
  bool Complete() const { return FComplete; }
  // Reads the streaming messages that follow the request until the game is complete.
  // Raises TToolError when the server withdraws the game or breaks the protocol.
  void Receive(TIdTCPConnection& connection);

 private:
  struct TSlot {
    std::int32_t Type = 0;
    std::int32_t Lead = 0;
    std::int32_t Expected = 0;
    std::int64_t Received = 0;  // bytes in the file, counted from the base the server uses
    std::unique_ptr<std::ofstream> File;  // empty once the stream's section is complete
  };

  void Announce(TIdTCPConnection& connection, std::int32_t count);
  void ReceiveData(TIdTCPConnection& connection, TSlot& slot, std::int32_t length);
  void CompleteSlot(std::int32_t index);
  std::string SlotPath(std::int32_t slot, std::int32_t section) const;
  void SaveState();

  TWatchOptions FOptions;
  TProgress& FProgress;
  std::int32_t FCurrent = 0;
  bool FComplete = false;
  bool FResumeOffsets = false;  // the first announced section continues the files in the folder
  std::vector<TSlot> FSlots;    // announced streams of the current section, by slot
  std::int32_t FOpen = 0;
};

}  // namespace tools
