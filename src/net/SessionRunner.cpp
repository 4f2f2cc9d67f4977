#include "net/SessionRunner.h"

#include <exception>
#include <utility>

#include "net/IdException.h"

TSessionRunner::TSessionRunner(std::string prefix, TLogLine log)
    : FPrefix(std::move(prefix)), FLog(std::move(log)) {}

bool TSessionRunner::Run(const std::function<void()>& body) noexcept {
  try {
    body();
    return true;
  } catch (const EIdSessionTimeout& e) {
    // An expected end, not an error: its own plain line.
    Step([&] { FLog(e.what()); });
    return true;
  } catch (const std::exception& e) {
    FError = e.what();
  } catch (...) {
    FError = "Unknown error";
  }
  return false;
}

void TSessionRunner::Step(const std::function<void()>& step) noexcept {
  try {
    step();
  } catch (const std::exception& e) {
    try {
      FLog(FPrefix + e.what());
    } catch (...) {
      // A log that cannot be written must not end the session thread.
    }
  } catch (...) {
    // Only std::exception carries a text to log; nothing in the server throws anything else.
  }
}

void TSessionRunner::LogError() noexcept {
  if (FError) Step([this] { FLog(FPrefix + *FError); });
}
