#include "common/TextUtil.h"

#include <string_view>

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

bool TryStrToInt(const std::string& input, std::int32_t& value) {
  std::string_view text(input);
  std::string replaced;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    replaced = "$" + input.substr(2);
    text = replaced;
  }
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i == text.size()) return false;

  bool hex = false;
  if (text[i] == '$' || text[i] == 'x' || text[i] == 'X') {
    hex = true;
    i += 1;
  } else if (text[i] == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (hex) {
    if (i == text.size()) return false;
    std::uint64_t v = 0;
    for (; i < text.size(); ++i) {
      const char c = text[i];
      int digit = -1;
      if (c >= '0' && c <= '9') digit = c - '0';
      if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      if (digit < 0) return false;
      v = v * 16 + static_cast<std::uint64_t>(digit);
      if (v > 0xFFFFFFFFu) return false;
    }
    // A hex value is the 32-bit pattern it spells: $FFFFFFFF is -1.
    value = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    return true;
  }

  bool negative = false;
  if (text[i] == '+' || text[i] == '-') {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return false;
  std::int64_t v = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > 2147483648LL) return false;
  }
  if (negative) v = -v;
  if (v > 2147483647LL) return false;
  value = static_cast<std::int32_t>(v);
  return true;
}

std::int32_t NumberField(const std::string& text) {
  std::int32_t value = 0;
  return TryStrToInt(text, value) ? value : 0;
}
