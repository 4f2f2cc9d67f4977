#include "common/FileUtil.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

EFOpenError::EFOpenError(const std::string& fileName, int error)
    : std::runtime_error("Cannot open file " + fileName + ": " + std::strerror(error)) {}

EFCreateError::EFCreateError(const std::string& fileName, int error)
    : std::runtime_error("Cannot create file " + fileName + ": " + std::strerror(error)),
      FError(error) {}

TFileHandle& TFileHandle::operator=(TFileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    FFd = other.FFd;
    other.FFd = -1;
  }
  return *this;
}

bool TFileHandle::Close() {
  if (FFd < 0) return true;
  // Linux releases the descriptor even when close reports an error, so it is never retried.
  const bool ok = ::close(FFd) == 0;
  FFd = -1;
  return ok;
}

bool ReadWholeFile(const std::string& name, std::string& out) {
  const TFileHandle file(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.Valid()) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    throw EFOpenError(name);
  }
  char buf[8192];
  for (;;) {
    const ssize_t n = ReadUpTo(file.Get(), buf, sizeof buf);
    if (n < 0) throw EFOpenError(name);
    out.append(buf, static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < sizeof buf) return true;
  }
}

ssize_t ReadUpTo(int fd, void* buffer, std::size_t count) {
  auto* p = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd, p + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool WriteAll(int fd, const void* data, std::size_t length) {
  const auto* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}
