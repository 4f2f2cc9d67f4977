// Bytes received on a connection and not yet consumed, with an LF search that never
// looks at the same byte twice.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class TInputBuffer {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  std::size_t Size() const { return FTail - FHead; }
  bool Empty() const { return FTail == FHead; }
  // Offset of the first LF from the front, or npos; bytes searched before are skipped.
  std::size_t FindLF();
  // Moves the first Count bytes (at most Size) to Out and drops them.
  void Take(char* out, std::size_t count);
  // Appends the first Count bytes (at most Size) to Out and drops them.
  void TakeAppend(std::string& out, std::size_t count);
  // Free space of at least Count bytes at the end, for a receive.
  char* Space(std::size_t count);
  // Counts Count bytes written into Space as received.
  void Commit(std::size_t count) { FTail += count; }
  // Forgets every buffered byte.
  void Clear() { FHead = FTail = FScanned = 0; }
  // Gives back the memory beyond what the buffered bytes need.
  void Shrink();

 private:
  void Drop(std::size_t count);
  // Moves the buffered bytes to the front of a new buffer of Capacity bytes.
  void Reallocate(std::size_t capacity);

  // Left uninitialised: a connection's first receive would otherwise clear the whole buffer
  // for the few bytes most commands take.
  std::unique_ptr<char[]> FData;
  std::size_t FCapacity = 0;
  std::size_t FHead = 0;     // first unconsumed byte
  std::size_t FTail = 0;     // one past the last received byte
  std::size_t FScanned = 0;  // bytes before this index hold no LF (FHead <= FScanned <= FTail)
};
