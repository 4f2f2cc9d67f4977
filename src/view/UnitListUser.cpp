#include "view/UnitListUser.h"

#include "common/FileUtil.h"
#include "common/TextUtil.h"

TListUser::TListUser(const std::string& fileName) {
  std::string text;
  if (!ReadWholeFile(fileName, text)) return;
  // A NUL byte ends the text; lines end at LF, CR, or CR LF.
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    FLines.push_back(text.substr(start, end - start));
    if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ++end;
    start = end + 1;
  }
}

std::string TListUser::GetPassword(const std::string& userName) const {
  const std::string wanted = UpperCase(userName);
  for (const std::string& line : FLines) {
    std::string rest = line;
    if (UpperCase(NextField(rest, ",")) == wanted) return NextField(rest, ",");
  }
  return "";
}
