// The INI format of zarnel.ini and info.ini: read whole at creation, written whole on SaveFile.
// Lookups go through indexes of the last section of a name and the last line of a key, so a
// read costs the same whatever the size of the file.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/FileUtil.h"

class TMemIniFile {
 public:
  // Loads FileName; a missing file or an empty name gives an empty store.
  explicit TMemIniFile(std::string fileName);
  // A store of FileName holding Text, as if read from the file.
  TMemIniFile(std::string fileName, const std::string& text);

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  std::int32_t ReadInteger(const std::string& section, const std::string& key,
                           std::int32_t def) const;
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;
  // True when the store holds a section named Section.
  bool SectionExists(const std::string& section) const { return FindSection(section) != nullptr; }
  // The names of the sections, in the order of the text.
  std::vector<std::string> SectionNames() const;
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, std::int32_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);
  // Replaces the file atomically (temporary file + rename); raises EFCreateError on failure.
  void SaveFile() const;
  // Replaces the file FileName by Text as SaveFile does.
  static void SaveText(const std::string& fileName, const std::string& text);
  // The text SaveFile writes.
  std::string Text() const;
  const std::string& FileName() const { return FFileName; }

 private:
  struct TSection {
    std::string Name;
    std::vector<std::string> Lines;  // "key=value" lines, or other text kept as read
    // Key (the text before a line's first "=") to the index of its last line.
    std::unordered_map<std::string, std::size_t> Keys;
  };

  void Parse(const std::string& text);
  // Appends Line to Section and indexes its key.
  static void AddLine(TSection& section, std::string line);
  TSection& AddSection(std::string name);
  // The last section named Name, or nullptr.
  const TSection* FindSection(const std::string& name) const;
  TSection* FindSection(const std::string& name);

  std::string FFileName;
  std::vector<TSection> FSections;
  std::unordered_map<std::string, std::size_t> FSectionIndex;  // name to its last section
};

// The store the server uses; it adds nothing to the in-memory store.
class TIniFile : public TMemIniFile {
 public:
  using TMemIniFile::TMemIniFile;
};

// Why Text would not be read back as written: a NUL or other control byte, a line that is
// neither a section, a key=value, a comment nor blank, or a last line without its line end.
// Empty for a text that parses cleanly.
std::string IniDamage(const std::string& text);
// The first NUL or other control byte of Text (tab and line ends are none) as IniDamage names
// it ("NUL byte in line 3"); empty when there is none.
std::string IniControlByte(const std::string& text);

// True for Name of a temporary file SaveFile makes while replacing a file named Base.
bool IsIniTempName(const std::string& name, const std::string& base);
