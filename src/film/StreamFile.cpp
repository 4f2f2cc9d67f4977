#include "film/StreamFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "store/IniFile.h"

void TStreamFile::CreateEmpty(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw EFCreateError(path);
  ::close(fd);
}

TStreamFile::TStreamFile(std::string path)
    : FPath(std::move(path)), FFd(::open(FPath.c_str(), O_WRONLY | O_CLOEXEC)) {
  if (FFd < 0) throw EFOpenError(FPath);
  // Appends go to the end; the length reply tells the filmer where that is.
  if (::lseek(FFd, 0, SEEK_END) < 0) {
    ::close(FFd);
    throw EFOpenError(FPath);
  }
}

TStreamFile::~TStreamFile() {
  ::close(FFd);
}

std::int64_t TStreamFile::Length() const {
  struct stat st {};
  if (::fstat(FFd, &st) != 0) throw std::runtime_error("Cannot read file " + FPath);
  return st.st_size;
}

void TStreamFile::Append(const std::string& data) {
  const off_t start = ::lseek(FFd, 0, SEEK_END);
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(FFd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : ENOSPC;
      // A block is stored whole or not at all: drop the part that made it to disk.
      if (start >= 0 && ::ftruncate(FFd, start) == 0) ::lseek(FFd, start, SEEK_SET);
      throw std::runtime_error("Cannot write file " + FPath + ": " + std::strerror(error));
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}
