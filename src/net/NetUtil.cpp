#include "net/NetUtil.h"

#include <chrono>
#include <thread>

std::string NextField(std::string& text, const std::string& delimiter) {
  // An empty delimiter occurs nowhere, so the whole text is the field.
  const std::size_t at = delimiter.empty() ? std::string::npos : text.find(delimiter);
  std::string field;
  if (at == std::string::npos) {
    field.swap(text);
    return field;
  }
  field = text.substr(0, at);
  text.erase(0, at + delimiter.size());
  return field;
}

std::string UpperCase(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

void Sleep(int milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
