// The viewer accounts file: one "name,password" line per account.
#pragma once

#include <string>
#include <vector>

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
