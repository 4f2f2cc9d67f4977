#include "common/Log.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/FileUtil.h"

std::string MakePrintable(std::string text) {
  for (char& c : text) {
    const auto code = static_cast<unsigned char>(c);
    if (code < 32 || code > 126) c = ' ';
  }
  return text;
}

std::int32_t CurrentThreadNumber() {
  return static_cast<std::int32_t>(syscall(SYS_gettid));
}

namespace {

// Appends Line to the log Name, opened for this line only; 0, or the errno of the failure.
// The caller holds the log's lock, so the end found here is where the line goes.
int AppendLine(const std::string& name, const std::string& line) {
  TFileHandle file(::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
  if (!file.Valid()) return errno;
  const off_t start = ::lseek(file.Get(), 0, SEEK_END);
  if (start < 0) return errno;
  errno = 0;
  if (!WriteAll(file.Get(), line.data(), line.size())) {
    const int error = errno != 0 ? errno : ENOSPC;
    // The part that made it would be glued to the next line once there is room again.
    if (::ftruncate(file.Get(), start) != 0) {
      // Shrinking needs no room; should it fail all the same, nothing else would help.
    }
    return error;
  }
  // A close that reports a failed write may leave the line behind; it cannot be cut any more.
  return file.Close() ? 0 : errno;
}

void ReportToStderr(const std::string& text) {
  const std::string line = "zarnel: " + text + "\n";
  WriteAll(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

void ConsoleLine(const std::string& line) {
  const std::string text = line + "\n";
  // Unbuffered, so each line reaches a pipe or a service journal at once.
  WriteAll(STDOUT_FILENO, text.data(), text.size());
}

TLog::TLog(std::string fileName) : FFileName(std::move(fileName)) {}

void TLog::WriteLog(std::int32_t number, const std::string& message) {
  if (FFileName.empty()) return;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d [%16d] ",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(number));
  const std::string line = prefix + MakePrintable(message) + "\n";

  std::lock_guard<std::mutex> lock(FLogLock);
  const int error = AppendLine(FFileName, line);
  // One report when lines start to be lost and one when they are stored again, however many
  // lines come in between.
  if (error != 0) {
    if (FLost++ == 0)
      ReportToStderr("cannot write the log " + FFileName + ": " + std::strerror(error) +
                     ", lines are lost until it can");
  } else if (FLost > 0) {
    ReportToStderr("the log " + FFileName + " is written again (" + std::to_string(FLost) +
                   (FLost == 1 ? " line" : " lines") + " lost)");
    FLost = 0;
  }
}
