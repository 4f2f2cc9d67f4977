#include "net/InputBuffer.h"

#include <algorithm>
#include <cstring>

std::size_t TInputBuffer::FindLF() {
  const std::size_t from = std::max(FScanned, FHead);
  const void* hit = from < FTail ? std::memchr(FData.get() + from, '\n', FTail - from) : nullptr;
  if (hit == nullptr) {
    FScanned = FTail;
    return npos;
  }
  // Stay on the LF so that asking again finds it at once.
  FScanned = static_cast<std::size_t>(static_cast<const char*>(hit) - FData.get());
  return FScanned - FHead;
}

void TInputBuffer::Take(char* out, std::size_t count) {
  count = std::min(count, Size());
  if (count > 0) std::memcpy(out, FData.get() + FHead, count);
  Drop(count);
}

void TInputBuffer::TakeAppend(std::string& out, std::size_t count) {
  count = std::min(count, Size());
  out.append(FData.get() + FHead, count);
  Drop(count);
}

void TInputBuffer::Shrink() {
  Reallocate(Size());
}

void TInputBuffer::Reallocate(std::size_t capacity) {
  std::unique_ptr<char[]> data(capacity > 0 ? new char[capacity] : nullptr);
  if (Size() > 0) std::memcpy(data.get(), FData.get() + FHead, Size());
  FScanned -= FHead;
  FTail -= FHead;
  FHead = 0;
  FData = std::move(data);
  FCapacity = capacity;
}

void TInputBuffer::Drop(std::size_t count) {
  FHead += count;
  FScanned = std::max(FScanned, FHead);
  if (FHead == FTail) Clear();
}

char* TInputBuffer::Space(std::size_t count) {
  if (FCapacity - FTail >= count) return FData.get() + FTail;
  // Slide the unconsumed bytes to the front; they are few, since readers consume as they go.
  if (FHead > 0) {
    std::memmove(FData.get(), FData.get() + FHead, Size());
    FTail -= FHead;
    FScanned -= FHead;
    FHead = 0;
  }
  if (FCapacity - FTail < count) Reallocate(FTail + count);
  return FData.get() + FTail;
}
