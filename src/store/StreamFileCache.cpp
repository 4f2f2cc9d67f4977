#include "store/StreamFileCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The map of open files; each file holds it, so a file may outlive the cache object.
struct TSharedStreamFile::TCore {
  std::mutex Lock;
  std::unordered_map<std::string, std::weak_ptr<TSharedStreamFile>> Files;  // guarded by Lock
};

TSharedStreamFile::TSharedStreamFile(std::shared_ptr<TCore> core, std::string path)
    : FCore(std::move(core)), FPath(std::move(path)) {
  Reopen();
}

TSharedStreamFile::~TSharedStreamFile() {
  std::lock_guard<std::mutex> lock(FCore->Lock);
  // A new file of the same path may already have taken the entry.
  const auto it = FCore->Files.find(FPath);
  if (it != FCore->Files.end() && it->second.expired()) FCore->Files.erase(it);
}

void TSharedStreamFile::Reopen() {
  TFileHandle file(::open(FPath.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!file.Valid() || ::fstat(file.Get(), &st) != 0) throw EFOpenError(FPath);
  FDevice = st.st_dev;
  FInode = st.st_ino;
  FHandle = std::make_shared<TFileHandle>(std::move(file));
}

std::shared_ptr<const TFileHandle> TSharedStreamFile::Handle() {
  std::lock_guard<std::mutex> lock(FLock);
  struct stat st {};
  if (::stat(FPath.c_str(), &st) != 0) throw EFOpenError(FPath);
  // Readers still holding the old descriptor finish with it; it closes after them.
  if (st.st_dev != FDevice || st.st_ino != FInode) Reopen();
  return FHandle;
}

std::int64_t TSharedStreamFile::Size(int fd, const std::string& path) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw EFOpenError(path);
  return st.st_size;
}

std::int32_t TSharedStreamFile::Lead(int fd) {
  unsigned char b[4] = {0, 0, 0, 0};
  for (std::size_t got = 0; got < sizeof b;) {
    const ssize_t n = ::pread(fd, b + got, sizeof b - got, static_cast<off_t>(got));
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<std::int32_t>(std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 |
                                   std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24);
}

TStreamFileCache::TStreamFileCache() : FCore(std::make_shared<TSharedStreamFile::TCore>()) {}

std::shared_ptr<TSharedStreamFile> TStreamFileCache::Open(const std::string& path) {
  std::lock_guard<std::mutex> lock(FCore->Lock);
  std::weak_ptr<TSharedStreamFile>& entry = FCore->Files[path];
  if (std::shared_ptr<TSharedStreamFile> file = entry.lock()) return file;
  std::shared_ptr<TSharedStreamFile> file;
  try {
    file.reset(new TSharedStreamFile(FCore, path));
  } catch (...) {
    FCore->Files.erase(path);
    throw;
  }
  entry = file;
  return file;
}
