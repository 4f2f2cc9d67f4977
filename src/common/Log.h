// The append-only event log and the console lines.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

// A copy of Text with every byte below 32 or above 126 replaced by a space.
std::string MakePrintable(std::string text);

// The number a log line carries for the calling thread: its OS thread id (gettid).
std::int32_t CurrentThreadNumber();

// Writes Line and a line feed to standard output and flushes it at once.
void ConsoleLine(const std::string& line);

class TLog {
 public:
  // An empty FileName drops every message unformatted: for harnesses that run sessions by the
  // million, where dating, formatting and storing each line would cost more than the session.
  explicit TLog(std::string fileName);
  // Appends "yyyy-mm-dd hh:nn:ss [%16d] message" and a LF, opening and closing the file for
  // this line only. A line is stored whole or not at all. One that cannot be stored (a full
  // disk, say) is dropped without raising, so that no caller ends over its log; standard error
  // says so once when lines start to be lost and once when the log is written again.
  void WriteLog(std::int32_t number, const std::string& message);
  const std::string& FileName() const { return FFileName; }

 private:
  const std::string FFileName;
  std::mutex FLogLock;     // held for the whole of one line
  std::int64_t FLost = 0;  // guarded by FLogLock: lines lost since the last one stored
};
