// Progress on standard error: a live line on a terminal, one short line per section otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tools {

class TProgress {
 public:
  // Verb is what happens to the bytes ("received", "sent"); Terminal picks the live line.
  TProgress(std::string verb, bool terminal);
  // A progress writer for standard error, live when it is a terminal.
  static TProgress ForStderr(std::string verb);
  // Leaves the terminal without a half-drawn live line.
  ~TProgress() { ClearLive(); }

  // A section with Streams streams begins.
  void StartSection(std::int32_t section, int streams);
  // Bytes of the current section have moved.
  void Add(std::int64_t bytes);
  // Nothing to move yet: show what the tool waits for (live line only).
  void Waiting(const std::string& what);
  // The current section is done: its summary line.
  void EndSection();
  // A line of its own (a warning, a note).
  void Note(const std::string& line);

 private:
  void ShowLive(const std::string& text);
  void ClearLive();
  double Elapsed() const;
  static std::string Amount(double bytes);

  const std::string FVerb;
  const bool FTerminal;
  std::FILE* const FOut = stderr;
  bool FLiveShown = false;
  std::int32_t FSection = 0;
  int FStreams = 0;
  std::int64_t FBytes = 0;
  std::chrono::steady_clock::time_point FStart;
  std::chrono::steady_clock::time_point FLastShown;
};

}  // namespace tools
