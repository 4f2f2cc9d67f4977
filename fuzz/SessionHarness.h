// Drives one port's sessions with fuzzer bytes: each input goes over a fresh socket pair to
// the port's session handler, and afterwards nothing may have been written outside the
// temporary store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "net/IdTCPServer.h"

namespace fuzz {

// A temporary base folder nested two levels deep, so that a path escaping the store by a
// step or two lands in a folder that is checked.
class TSessionHarness {
 public:
  using THandler = std::function<void(TIdPeerThread&)>;

  // Seed lays out the store (Streams/ under Base()) before each batch of inputs.
  explicit TSessionHarness(std::function<void(const std::string& base)> seed);
  ~TSessionHarness();
  // The base folder with a trailing "/"; the store root is Base() + "Streams/".
  const std::string& Base() const { return FBase; }
  // Sends Data and the client's close to a session, runs Handler on it on this thread until
  // it ends (or hands the session over), drops the replies, waits for a handed-over session
  // to end and checks the folders.
  void Run(const THandler& handler, const std::uint8_t* data, std::size_t size);

 private:
  void Reseed();
  // Reads the watch's events: true when a name was made in a checked folder (beside the
  // store); counts those made in the store.
  bool MadeOutside();
  void CheckOutside() const;

  std::function<void(const std::string&)> FSeed;
  std::string FTop;   // the folder made for this process
  std::string FBase;  // FTop + "a/b/"
  unsigned FRuns = 0;
  int FWatch = -1;          // inotify descriptor
  int FStoreWatch = -1;     // its watch of the store, made anew at each Reseed
  unsigned FStoreMade = 0;  // names made in the store since Reseed
};

// Where the targets' logs go: nowhere. The sessions build each message as the server does; dating,
// formatting and storing it would cost more than a session's whole run.
inline const char* const LogPath = "";

// Writes Text to Path; aborts on failure.
void WriteFile(const std::string& path, const std::string& text);

}  // namespace fuzz
