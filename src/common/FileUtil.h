// Plain files: one owner per descriptor, whole reads and whole writes.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <stdexcept>
#include <string>

// "Cannot open file %s: reason", the reason being the text of Error (an errno value). Error
// defaults to errno as it is where the exception is made, so make it before anything else that
// may change errno, or pass the value saved at the failure.
class EFOpenError : public std::runtime_error {
 public:
  explicit EFOpenError(const std::string& fileName, int error = errno);
};

// "Cannot create file %s: reason", Error as for EFOpenError.
class EFCreateError : public std::runtime_error {
 public:
  explicit EFCreateError(const std::string& fileName, int error = errno);
  // The errno value the message gives the text of.
  int Error() const { return FError; }

 private:
  int FError;
};

// Owns one open file descriptor and closes it on destruction.
class TFileHandle {
 public:
  TFileHandle() = default;
  explicit TFileHandle(int fd) : FFd(fd) {}
  ~TFileHandle() { Close(); }
  TFileHandle(TFileHandle&& other) noexcept : FFd(other.FFd) { other.FFd = -1; }
  TFileHandle& operator=(TFileHandle&& other) noexcept;
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;

  int Get() const { return FFd; }
  bool Valid() const { return FFd >= 0; }
  // Closes now; false when the close reports a failed write.
  bool Close();

 private:
  int FFd = -1;
};

// Reads all of Name into Out; false when it does not exist. Raises EFOpenError when it exists
// but cannot be read.
bool ReadWholeFile(const std::string& name, std::string& out);
// Reads up to Count bytes, fewer only at the end of the file; -1 on a read error.
ssize_t ReadUpTo(int fd, void* buffer, std::size_t count);
// Writes all of Data, going on after interruptions; false on any failure.
bool WriteAll(int fd, const void* data, std::size_t length);
