#include "common/Log.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <system_error>

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

// Opens the log for one line; it is closed again before WriteLog returns.
TFileHandle OpenLog(const std::string& name) {
  TFileHandle file(open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
  if (!file.Valid()) throw std::system_error(errno, std::generic_category(), name);
  return file;
}

}  // namespace

void ConsoleLine(const std::string& line) {
  const std::string text = line + "\n";
  // Unbuffered, so each line reaches a pipe or a service journal at once.
  WriteAll(STDOUT_FILENO, text.data(), text.size());
}

TLog::TLog(std::string fileName) : FFileName(std::move(fileName)) {}

void TLog::WriteLog(std::int32_t number, const std::string& message) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d [%16d] ",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(number));
  const std::string line = prefix + MakePrintable(message) + "\n";

  std::lock_guard<std::mutex> lock(FLogLock);
  TFileHandle file = OpenLog(FFileName);
  if (!WriteAll(file.Get(), line.data(), line.size()) || !file.Close())
    throw std::system_error(errno, std::generic_category(), FFileName);
}
