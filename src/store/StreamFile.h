// One stream data file of a section, held open for appending while a film session uses it.
#pragma once

#include <cstdint>
#include <string>

#include "common/FileUtil.h"

class TStreamFile {
 public:
  // Creates Path empty, cutting an existing file to length 0; raises "Cannot create file %s".
  static void CreateEmpty(const std::string& path);

  // Opens an existing Path for writing at its end; raises "Cannot open file %s".
  explicit TStreamFile(std::string path);

  // The file's current length in bytes.
  std::int64_t Length() const;
  // Appends all of Data; on failure the file is cut back to its former length and it raises.
  void Append(const char* data, std::size_t count);
  const std::string& Path() const { return FPath; }

 private:
  const std::string FPath;
  TFileHandle FFile;
};
