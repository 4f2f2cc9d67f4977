// The INI format of zarnel.ini and info.ini: read whole at creation, written whole on SaveFile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/FileUtil.h"

class TMemIniFile {
 public:
  // Loads FileName; a missing file or an empty name gives an empty store.
  explicit TMemIniFile(std::string fileName);

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  std::int32_t ReadInteger(const std::string& section, const std::string& key,
                           std::int32_t def) const;
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, std::int32_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);
  // Replaces the file atomically (temporary file + rename); raises EFCreateError on failure.
  void SaveFile() const;
  // The text SaveFile writes.
  std::string Text() const;
  const std::string& FileName() const { return FFileName; }

 private:
  struct TSection {
    std::string Name;
    std::vector<std::string> Lines;  // "key=value" lines, or other text kept as read
  };

  void Parse(const std::string& text);
  // The last section named Name, or nullptr.
  const TSection* FindSection(const std::string& name) const;
  TSection* FindSection(const std::string& name);
  // Index of the last line of Section whose text before its first "=" is Key, or -1.
  static int FindKey(const TSection& section, const std::string& key);

  std::string FFileName;
  std::vector<TSection> FSections;
};

// The store the server uses; it adds nothing to the in-memory store.
class TIniFile : public TMemIniFile {
 public:
  using TMemIniFile::TMemIniFile;
};

// True for Name of a temporary file SaveFile makes while replacing a file named Base.
bool IsIniTempName(const std::string& name, const std::string& base);

// Converts Text as an INI integer ("0x"/"$" hex, signed decimal); false when it does not convert.
bool TryStrToInt(const std::string& text, std::int32_t& value);
