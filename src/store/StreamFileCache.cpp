#include "store/StreamFileCache.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <mutex>

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

namespace {

// Where a fault in a guarded copy of this thread goes; null outside one. Volatile, and fenced
// around the copy, so that its stores are neither dropped nor moved past the copy.
thread_local sigjmp_buf* volatile GuardedCopy = nullptr;

void OnBusError(int, siginfo_t*, void*) {
  if (GuardedCopy) siglongjmp(*GuardedCopy, 1);
  // Not a guarded copy: the system's own action, once the faulting access runs again.
  ::signal(SIGBUS, SIG_DFL);
}

void GuardBusErrors() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    sigemptyset(&action.sa_mask);
    // Not blocked while handled, so that leaving the handler by a jump needs no mask restored,
    // and a guarded copy needs no system call.
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    ::sigaction(SIGBUS, &action, nullptr);
  });
}

}  // namespace

TStreamMapping::TStreamMapping(int fd, std::size_t length, const std::string& path)
    : FLength(length) {
  void* data = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) throw EFOpenError(path);
  FData = static_cast<const char*>(data);
  GuardBusErrors();
}

bool TStreamMapping::CopyTo(std::string& out, std::size_t from, std::size_t count) const {
  const std::size_t before = out.size();
  out.resize(before + count);  // no allocation may be cut short by the jump
  sigjmp_buf jump;
  if (sigsetjmp(jump, 0) != 0) {
    GuardedCopy = nullptr;
    out.resize(before);
    return false;
  }
  GuardedCopy = &jump;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(out.data() + before, FData + from, count);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  GuardedCopy = nullptr;
  return true;
}

TStreamMapping::~TStreamMapping() {
  ::munmap(const_cast<char*>(FData), FLength);
}

std::shared_ptr<const TStreamMapping> TSharedStreamFile::Map(
    const std::shared_ptr<const TFileHandle>& fd, std::int64_t length) {
  std::lock_guard<std::mutex> lock(FLock);
  // A mapping of all that was asked for holds: its bytes are never cut back. No length look-up.
  if (FMapping && FMapped.lock() == fd && static_cast<std::int64_t>(FMapping->Length()) == length)
    return FMapping;
  const std::int64_t size = std::min(length, Size(fd->Get(), FPath));
  if (size <= 0) return nullptr;
  if (FMapping && FMapped.lock() == fd && FMapping->Length() == static_cast<std::size_t>(size))
    return FMapping;
  FMapping = std::make_shared<TStreamMapping>(fd->Get(), static_cast<std::size_t>(size), FPath);
  FMapped = fd;
  return FMapping;
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
