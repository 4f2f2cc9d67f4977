#include "store/StreamFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

void Create(const std::string& path, int flags) {
  const TFileHandle file(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666));
  if (!file.Valid()) throw EFCreateError(path);
}

}  // namespace

void TStreamFile::CreateEmpty(const std::string& path) {
  Create(path, O_TRUNC);
}

void TStreamFile::CreateMissing(const std::string& path) {
  Create(path, 0);
}

TStreamFile::TStreamFile(std::string path, TOpen open)
    : FPath(std::move(path)),
      FFile(open == TOpen::MakeMissing ? ::open(FPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666)
                                       : ::open(FPath.c_str(), O_WRONLY | O_CLOEXEC)) {
  // Appends go to the end; the length reply tells the filmer where that is.
  if (!FFile.Valid() || ::lseek(FFile.Get(), 0, SEEK_END) < 0) throw EFOpenError(FPath);
}

std::int64_t TStreamFile::Length() const {
  struct stat st {};
  if (::fstat(FFile.Get(), &st) != 0) throw std::runtime_error("Cannot read file " + FPath);
  return st.st_size;
}

void TStreamFile::Append(const char* data, std::size_t count) {
  const off_t start = ::lseek(FFile.Get(), 0, SEEK_END);
  if (WriteAll(FFile.Get(), data, count)) return;
  const int error = errno != 0 ? errno : ENOSPC;
  // A block is stored whole or not at all: drop the part that made it to disk.
  if (start >= 0 && ::ftruncate(FFile.Get(), start) == 0) ::lseek(FFile.Get(), start, SEEK_SET);
  throw std::runtime_error("Cannot write file " + FPath + ": " + std::strerror(error));
}
