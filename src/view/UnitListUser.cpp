#include "view/UnitListUser.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "net/NetUtil.h"
#include "store/IniFile.h"

namespace {

// Owns a read-only descriptor for the length of one read.
class TReadFile {
 public:
  explicit TReadFile(const std::string& name) : FFd(open(name.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~TReadFile() {
    if (FFd >= 0) close(FFd);
  }
  TReadFile(const TReadFile&) = delete;
  TReadFile& operator=(const TReadFile&) = delete;
  bool IsOpen() const { return FFd >= 0; }
  // Everything from the start to the end; false on a read error.
  bool ReadAll(std::string& out) {
    char buf[4096];
    for (;;) {
      const ssize_t n = read(FFd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) return true;
      out.append(buf, static_cast<std::size_t>(n));
    }
  }

 private:
  int FFd;
};

}  // namespace

TListUser::TListUser(const std::string& fileName) {
  TReadFile file(fileName);
  if (!file.IsOpen()) {
    if (errno == ENOENT) return;
    throw EFOpenError(fileName);
  }
  std::string text;
  if (!file.ReadAll(text)) throw EFOpenError(fileName);
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
