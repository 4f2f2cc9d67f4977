#include "tools/common/Progress.h"

#include <unistd.h>

namespace tools {

namespace {
// A live line is redrawn at most this often, so a fast transfer does not flood the terminal.
constexpr auto kRedraw = std::chrono::milliseconds(200);
}  // namespace

TProgress::TProgress(std::string verb, bool terminal)
    : FVerb(std::move(verb)), FTerminal(terminal) {}

TProgress TProgress::ForStderr(std::string verb) {
  return TProgress(std::move(verb), isatty(STDERR_FILENO) == 1);
}

void TProgress::StartSection(std::int32_t section, int streams) {
  FSection = section;
  FStreams = streams;
  FBytes = 0;
  FStart = std::chrono::steady_clock::now();
  FLastShown = {};
  Add(0);
}

void TProgress::Add(std::int64_t bytes) {
  FBytes += bytes;
  if (!FTerminal) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - FLastShown < kRedraw) return;
  FLastShown = now;
  const double seconds = Elapsed();
  ShowLive("section " + std::to_string(FSection) + ": " + Amount(static_cast<double>(FBytes)) +
           " " + FVerb + ", " + Amount(seconds > 0 ? static_cast<double>(FBytes) / seconds : 0) +
           "/s");
}

void TProgress::Waiting(const std::string& what) {
  if (FTerminal) ShowLive(what);
}

void TProgress::EndSection() {
  const double seconds = Elapsed();
  char text[64];
  std::snprintf(text, sizeof text, " in %.1f s", seconds);
  Note("section " + std::to_string(FSection) + ": " + std::to_string(FStreams) +
       (FStreams == 1 ? " stream, " : " streams, ") + std::to_string(FBytes) + " bytes " + FVerb +
       text);
}

void TProgress::Note(const std::string& line) {
  ClearLive();
  std::fprintf(FOut, "%s\n", line.c_str());
  std::fflush(FOut);
}

void TProgress::ShowLive(const std::string& text) {
  // Carriage return and erase-line keep the live line in one place.
  std::fprintf(FOut, "\r\033[K%s", text.c_str());
  std::fflush(FOut);
  FLiveShown = true;
}

void TProgress::ClearLive() {
  if (!FLiveShown) return;
  std::fprintf(FOut, "\r\033[K");
  FLiveShown = false;
}

double TProgress::Elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
}

std::string TProgress::Amount(double bytes) {
  char text[32];
  if (bytes < 1024)
    std::snprintf(text, sizeof text, "%.0f B", bytes);
  else if (bytes < 1024 * 1024)
    std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024);
  else
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024 * 1024));
  return text;
}

}  // namespace tools
