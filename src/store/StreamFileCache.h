// Stream data files opened once and shared by every viewer of them, read with pread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "common/FileUtil.h"

class TStreamFileCache;

// The first bytes of a stream file, mapped read-only. Only for bytes the server never cuts
// back (those of a complete stream up to its recorded size): reading a mapped byte the file no
// longer holds would stop the process with SIGBUS.
class TStreamMapping {
 public:
  // Maps the first Length (above 0) bytes of Fd; raises EFOpenError for Path on failure.
  TStreamMapping(int fd, std::size_t length, const std::string& path);
  ~TStreamMapping();
  TStreamMapping(const TStreamMapping&) = delete;
  TStreamMapping& operator=(const TStreamMapping&) = delete;

  std::size_t Length() const { return FLength; }
  // Appends bytes From to From + Count (within Length) to Out; false, Out as it was, when they
  // cannot be read: the file was cut short beneath the mapping, or the disk failed. Either
  // would otherwise stop the process (SIGBUS).
  bool CopyTo(std::string& out, std::size_t from, std::size_t count) const;

 private:
  const char* FData;
  std::size_t FLength;
};

// One stream data file, open read-only without a lock while the filmer may append to it.
class TSharedStreamFile {
 public:
  ~TSharedStreamFile();
  TSharedStreamFile(const TSharedStreamFile&) = delete;
  TSharedStreamFile& operator=(const TSharedStreamFile&) = delete;

  // The descriptor of the file now at the path, reopened when the file was made anew; raises
  // EFOpenError when the path holds no file. Whoever keeps the result keeps that file.
  std::shared_ptr<const TFileHandle> Handle();
  const std::string& Path() const { return FPath; }
  // The first Length bytes of Fd, a handle this file gave, mapped, or as many as the file now
  // holds; null when it holds none. Every caller asking for the same shares one mapping.
  // Raises EFOpenError.
  std::shared_ptr<const TStreamMapping> Map(const std::shared_ptr<const TFileHandle>& fd,
                                            std::int64_t length);

  // Present length of the open file Fd; raises EFOpenError for Path on failure.
  static std::int64_t Size(int fd, const std::string& path);
  // The first four bytes of Fd as a little-endian integer; bytes the file lacks count as 0.
  static std::int32_t Lead(int fd);

 private:
  friend class TStreamFileCache;
  struct TCore;
  TSharedStreamFile(std::shared_ptr<TCore> core, std::string path);
  // Opens the path anew into FHandle; raises EFOpenError.
  void Reopen();

  const std::shared_ptr<TCore> FCore;
  const std::string FPath;
  std::mutex FLock;
  std::shared_ptr<const TFileHandle> FHandle;      // guarded by FLock
  dev_t FDevice = 0;                               // guarded by FLock
  ino_t FInode = 0;                                // guarded by FLock
  std::shared_ptr<const TStreamMapping> FMapping;  // guarded by FLock
  std::weak_ptr<const TFileHandle> FMapped;        // the handle FMapping maps; guarded by FLock
};

// Hands out the shared file of a path; a file is closed when its last user lets it go.
class TStreamFileCache {
 public:
  TStreamFileCache();
  // The shared file of Path, opened if no one holds it; raises EFOpenError.
  std::shared_ptr<TSharedStreamFile> Open(const std::string& path);

 private:
  const std::shared_ptr<TSharedStreamFile::TCore> FCore;
};
