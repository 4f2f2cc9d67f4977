// Drives one port's sessions with fuzzer bytes: a server of the port's kind listens on a
// loopback port of its own, each input goes over one connection, and afterwards nothing may
// have been written outside the temporary store.
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
  // Seed lays out the store (Streams/ under Base()) before each batch of inputs.
  TSessionHarness(TIdTCPServer& server, std::function<void(const std::string& base)> seed);
  ~TSessionHarness();
  // The base folder with a trailing "/"; the store root is Base() + "Streams/".
  const std::string& Base() const { return FBase; }
  // Sends Data over a fresh connection, reads what comes back until the server closes or a
  // short time passes, closes, waits for the session to end and checks the folders.
  void Run(const std::uint8_t* data, std::size_t size);

 private:
  void Reseed();
  void CheckOutside() const;

  TIdTCPServer& FServer;
  std::function<void(const std::string&)> FSeed;
  std::string FTop;   // the folder made for this process
  std::string FBase;  // FTop + "a/b/"
  unsigned FRuns = 0;
};

// Writes Text to Path; aborts on failure.
void WriteFile(const std::string& path, const std::string& text);

}  // namespace fuzz
