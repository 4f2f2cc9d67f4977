#include "server/Log.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <system_error>

std::string MakePrintable(std::string text) {
  for (char& c : text) {
    const auto code = static_cast<unsigned char>(c);
    if (code < 32 || code > 126) c = ' ';
  }
  return text;
}

std::int32_t CurrentThreadNumber() { return static_cast<std::int32_t>(syscall(SYS_gettid)); }

namespace {

// Writes all of Data to Fd, going on after interruptions; false on any other failure.
bool WriteAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// Owns the log descriptor for the length of one line.
class TLogFile {
 public:
  explicit TLogFile(const std::string& name)
      : FFd(open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666)) {
    if (FFd < 0) throw std::system_error(errno, std::generic_category(), name);
  }
  ~TLogFile() {
    if (FFd >= 0) close(FFd);
  }
  TLogFile(const TLogFile&) = delete;
  TLogFile& operator=(const TLogFile&) = delete;

  void Write(const std::string& line) {
    if (!WriteAll(FFd, line.data(), line.size()))
      throw std::system_error(errno, std::generic_category(), "write log");
  }
  void Close() {
    const int fd = FFd;
    FFd = -1;
    if (close(fd) != 0) throw std::system_error(errno, std::generic_category(), "close log");
  }

 private:
  int FFd;
};

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
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                local.tm_min, local.tm_sec, static_cast<int>(number));
  const std::string line = prefix + MakePrintable(message) + "\n";

  std::lock_guard<std::mutex> lock(FLogLock);
  TLogFile file(FFileName);
  file.Write(line);
  file.Close();
}
