#include "net/InputBuffer.h"

#include <algorithm>
#include <cstring>

std::size_t TInputBuffer::FindLF() {
  const std::size_t from = std::max(FScanned, FHead);
  const void* hit = from < FTail ? std::memchr(FData.data() + from, '\n', FTail - from) : nullptr;
  if (hit == nullptr) {
    FScanned = FTail;
    return npos;
  }
  // Stay on the LF so that asking again finds it at once.
  FScanned = static_cast<std::size_t>(static_cast<const char*>(hit) - FData.data());
  return FScanned - FHead;
}

void TInputBuffer::Take(char* out, std::size_t count) {
  count = std::min(count, Size());
  if (count > 0) std::memcpy(out, FData.data() + FHead, count);
  Drop(count);
}

void TInputBuffer::TakeAppend(std::string& out, std::size_t count) {
  count = std::min(count, Size());
  out.append(FData.data() + FHead, count);
  Drop(count);
}

void TInputBuffer::Shrink() {
  std::vector<char> kept(FData.begin() + static_cast<std::ptrdiff_t>(FHead),
                         FData.begin() + static_cast<std::ptrdiff_t>(FTail));
  FScanned -= FHead;
  FTail -= FHead;
  FHead = 0;
  FData.swap(kept);
}

void TInputBuffer::Drop(std::size_t count) {
  FHead += count;
  FScanned = std::max(FScanned, FHead);
  if (FHead == FTail) Clear();
}

char* TInputBuffer::Space(std::size_t count) {
  if (FData.size() - FTail >= count) return FData.data() + FTail;
  // Slide the unconsumed bytes to the front; they are few, since readers consume as they go.
  if (FHead > 0) {
    std::memmove(FData.data(), FData.data() + FHead, Size());
    FTail -= FHead;
    FScanned -= FHead;
    FHead = 0;
  }
  if (FData.size() - FTail < count) FData.resize(FTail + count);
  return FData.data() + FTail;
}
