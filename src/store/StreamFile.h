// One stream data file of a section, held open for appending while a film session or the relay
// link writes it.
#pragma once

#include <cstdint>
#include <string>

#include "common/FileUtil.h"

class TStreamFile {
 public:
  // Creates Path empty, cutting an existing file to length 0; raises "Cannot create file %s".
  static void CreateEmpty(const std::string& path);
  // Creates Path empty unless it exists; raises "Cannot create file %s".
  static void CreateMissing(const std::string& path);

  enum class TOpen { Existing, MakeMissing };
  // Opens Path for writing at its end, with MakeMissing making it empty when missing; raises
  // "Cannot open file %s".
  explicit TStreamFile(std::string path, TOpen open = TOpen::Existing);

  // The file's current length in bytes.
  std::int64_t Length() const;
  // Appends all of Data; on failure the file is cut back to its former length and it raises.
  void Append(const char* data, std::size_t count);
  const std::string& Path() const { return FPath; }

 private:
  const std::string FPath;
  TFileHandle FFile;
};
