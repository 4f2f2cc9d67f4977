// The viewer accounts file: one "name,password" line per account.
#pragma once

#include <string>
#include <vector>

// Text with the ASCII letters a to z turned into A to Z; other bytes stay as they are.
std::string AsciiUpperCase(std::string text);

class TListUser {
 public:
  // Reads FileName now; a missing file is an empty account list. Raises EFOpenError when the
  // file exists but cannot be read.
  explicit TListUser(const std::string& fileName);
  // The password of the first line whose name matches UserName in any letter case, else "".
  std::string GetPassword(const std::string& userName) const;

 private:
  std::vector<std::string> FLines;
};
