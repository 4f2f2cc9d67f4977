// Drives one port's sessions with fuzzer bytes: each input goes over a fresh socket pair to
// the port's session handler, and afterwards nothing may have been written outside the
// temporary store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "Worker.h"
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
  // Sends Data to a session run by Handler, reads what comes back until the session closes
  // or a short time passes without progress, closes, waits for the session to end and checks
  // the folders.
  void Run(const THandler& handler, const std::uint8_t* data, std::size_t size);

 private:
  void Reseed();
  void CheckOutside() const;

  std::function<void(const std::string&)> FSeed;
  std::string FTop;   // the folder made for this process
  std::string FBase;  // FTop + "a/b/"
  unsigned FRuns = 0;
  TWorker FSessions;  // runs each session, as a server's session thread would
};

// Writes Text to Path; aborts on failure.
void WriteFile(const std::string& path, const std::string& text);

}  // namespace fuzz
