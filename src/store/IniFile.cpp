#include "store/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string_view>
#include <utility>

#include "common/TextUtil.h"

namespace {

// Removes characters with codes up to 32 at both ends.
std::string_view Trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
  return text.substr(begin, end - begin);
}

// "NUL byte" or "control character" for a byte no INI text holds; nullptr for any other.
// Line ends are left to the callers, which count lines by them.
const char* ControlByte(char c) {
  const auto code = static_cast<unsigned char>(c);
  if (code == 0) return "NUL byte";
  if ((code < 32 && c != '\t') || code == 127) return "control character";
  return nullptr;
}

std::string InLine(const char* what, std::size_t line) {
  return std::string(what) + " in line " + std::to_string(line);
}

// A temporary file beside the target; removed on destruction unless Keep() was called.
class TTempFile {
 public:
  // Creates a fresh file in Dir with mode 0666 less the umask; Fd() is -1 on failure, with the
  // reason in Error().
  TTempFile(const std::string& dir, const std::string& base) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100 && !FFile.Valid(); ++attempt) {
      // Hidden name, so that a listing of the directory never shows it.
      FName = dir + "." + base + "." + std::to_string(::getpid()) + "." +
              std::to_string(counter.fetch_add(1)) + ".tmp";
      FFile = TFileHandle(::open(FName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
      if (!FFile.Valid()) FError = errno;
      if (!FFile.Valid() && FError != EEXIST) break;
    }
    FCreated = FFile.Valid();
  }
  ~TTempFile() {
    FFile.Close();
    if (FCreated && !FKept) ::unlink(FName.c_str());
  }
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;

  int Fd() const { return FFile.Get(); }
  int Error() const { return FError; }
  const std::string& Name() const { return FName; }
  // Closes the descriptor; false when the close reports a failed write.
  bool Close() { return FFile.Close(); }
  void Keep() { FKept = true; }

 private:
  std::string FName;
  TFileHandle FFile;
  bool FKept = false;
  bool FCreated = false;
  int FError = 0;
};

}  // namespace

TMemIniFile::TMemIniFile(std::string fileName) : FFileName(std::move(fileName)) {
  if (FFileName.empty()) return;
  std::string text;
  if (ReadWholeFile(FFileName, text)) Parse(text);
}

TMemIniFile::TMemIniFile(std::string fileName, const std::string& text)
    : FFileName(std::move(fileName)) {
  Parse(text);
}

void TMemIniFile::AddLine(TSection& section, std::string line) {
  const std::size_t eq = line.find('=');
  if (eq != std::string::npos) section.Keys[line.substr(0, eq)] = section.Lines.size();
  section.Lines.push_back(std::move(line));
}

TMemIniFile::TSection& TMemIniFile::AddSection(std::string name) {
  FSectionIndex[name] = FSections.size();
  FSections.push_back({std::move(name), {}, {}});
  return FSections.back();
}

void TMemIniFile::Parse(const std::string& raw) {
  std::string_view text(raw);
  // A NUL byte ends the text.
  text = text.substr(0, text.find('\0'));
  std::size_t current = 0;  // index + 1 of the section being filled; 0 before the first
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end;
    if (pos < text.size()) {
      const bool crlf = text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n';
      pos += crlf ? 2 : 1;
    }
    if (line.empty() || line.front() == ';') continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      AddSection(std::string(Trim(line.substr(1, line.size() - 2))));
      current = FSections.size();
      continue;
    }
    if (current == 0) continue;
    const std::size_t eq = line.find('=');
    std::string stored(line);
    if (eq != std::string_view::npos)
      stored = std::string(Trim(line.substr(0, eq))) + "=" + std::string(Trim(line.substr(eq + 1)));
    AddLine(FSections[current - 1], std::move(stored));
  }
}

std::vector<std::string> TMemIniFile::SectionNames() const {
  std::vector<std::string> names;
  for (const TSection& section : FSections) names.push_back(section.Name);
  return names;
}

const TMemIniFile::TSection* TMemIniFile::FindSection(const std::string& name) const {
  const auto it = FSectionIndex.find(name);
  return it == FSectionIndex.end() ? nullptr : &FSections[it->second];
}

TMemIniFile::TSection* TMemIniFile::FindSection(const std::string& name) {
  return const_cast<TSection*>(std::as_const(*this).FindSection(name));
}

std::string TMemIniFile::ReadString(const std::string& section, const std::string& key,
                                    const std::string& def) const {
  const TSection* sec = FindSection(section);
  if (!sec) return def;
  const auto it = sec->Keys.find(key);
  if (it == sec->Keys.end()) return def;
  return sec->Lines[it->second].substr(key.size() + 1);
}

std::int32_t TMemIniFile::ReadInteger(const std::string& section, const std::string& key,
                                      std::int32_t def) const {
  std::int32_t value = 0;
  return TryStrToInt(ReadString(section, key, ""), value) ? value : def;
}

bool TMemIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TMemIniFile::WriteString(const std::string& section, const std::string& key,
                              const std::string& value) {
  TSection* sec = FindSection(section);
  if (!sec) sec = &AddSection(section);
  const auto it = sec->Keys.find(key);
  if (it == sec->Keys.end())
    AddLine(*sec, key + "=" + value);
  else
    sec->Lines[it->second] = key + "=" + value;
}

void TMemIniFile::WriteInteger(const std::string& section, const std::string& key,
                               std::int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TMemIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

std::string TMemIniFile::Text() const {
  std::string text;
  for (const TSection& sec : FSections) {
    text += "[" + sec.Name + "]\n";
    for (const std::string& line : sec.Lines) text += line + "\n";
    text += "\n";
  }
  return text;
}

void TMemIniFile::SaveFile() const {
  SaveText(FFileName, Text());
}

void TMemIniFile::SaveText(const std::string& fileName, const std::string& text) {
  // Written beside the target and renamed over it, so that a failure at any point leaves
  // the old file whole.
  const std::size_t slash = fileName.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : fileName.substr(0, slash + 1);
  const std::string base = fileName.substr(dir.size());
  // What open(2) would say of such a name.
  if (base.empty()) throw EFCreateError(fileName, fileName.empty() ? ENOENT : EISDIR);

  struct stat old {};
  const bool replacing = ::stat(fileName.c_str(), &old) == 0;
  TTempFile temp(dir, base);
  if (temp.Fd() < 0) throw EFCreateError(fileName, temp.Error());
  // Each error is made before the temporary file's removal can change errno.
  if (replacing && ::fchmod(temp.Fd(), old.st_mode & 07777) != 0) throw EFCreateError(fileName);
  if (!WriteAll(temp.Fd(), text.data(), text.size()) || !temp.Close())
    throw EFCreateError(fileName);
  if (::rename(temp.Name().c_str(), fileName.c_str()) != 0) throw EFCreateError(fileName);
  temp.Keep();
}

std::string IniDamage(const std::string& text) {
  std::size_t line = 1;
  std::size_t start = 0;  // of the current line
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const bool end = i == text.size();
    const char c = end ? '\n' : text[i];
    if (c != '\n' && c != '\r') {
      if (const char* what = ControlByte(c)) return InLine(what, line);
      continue;
    }
    if (end && i > start) return "last line cut short";
    const std::string_view body = Trim(std::string_view(text).substr(start, i - start));
    const bool section = body.size() >= 2 && body.front() == '[' && body.back() == ']';
    if (!body.empty() && body.front() != ';' && !section && body.find('=') == std::string::npos)
      return "unreadable line " + std::to_string(line);
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
    ++line;
  }
  return {};
}

std::string IniControlByte(const std::string& text) {
  std::size_t line = 1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    // A CR ends a line unless an LF follows, which ends it instead.
    if (c == '\n' || (c == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) {
      ++line;
    } else if (c != '\r') {
      if (const char* what = ControlByte(c)) return InLine(what, line);
    }
  }
  return {};
}

bool IsIniTempName(const std::string& name, const std::string& base) {
  // "." Base "." pid "." counter ".tmp", as TTempFile names them.
  const std::string prefix = "." + base + ".", suffix = ".tmp";
  if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) ||
      !name.ends_with(suffix))
    return false;
  const std::string middle =
      name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  const std::size_t dot = middle.find('.');
  const auto digits = [](const std::string& t) {
    return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos;
  };
  return dot != std::string::npos && digits(middle.substr(0, dot)) &&
         digits(middle.substr(dot + 1));
}
