// The shape every session handler shares: run the session body, catch once, then run the end
// steps, each guarded, so that a failing step neither ends the thread nor skips the others.
#pragma once

#include <functional>
#include <optional>
#include <string>

class TSessionRunner {
 public:
  using TLogLine = std::function<void(const std::string& message)>;

  // Prefix starts every exception line (e.g. "View Exception:- "); Log writes one log line.
  TSessionRunner(std::string prefix, TLogLine log);

  // Runs Body; whatever it raises ends it and is kept for LogError. True after a normal end.
  bool Run(const std::function<void()>& body) noexcept;
  // Runs one end step; an error it raises is logged with the prefix and goes no further.
  void Step(const std::function<void()>& step) noexcept;
  // The end step that logs the body's error as "<prefix><message>"; nothing after a normal end.
  void LogError() noexcept;

 private:
  const std::string FPrefix;
  const TLogLine FLog;
  std::optional<std::string> FError;
};
