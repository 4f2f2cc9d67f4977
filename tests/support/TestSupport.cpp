#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace test {

TTempDir::TTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zarnel-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  FPath = std::string(buf.data()) + "/";
}

TTempDir::~TTempDir() {
  std::error_code ec;
  fs::permissions(FPath, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(FPath, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << content;
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> LogMessages(const std::string& logPath) {
  std::vector<std::string> messages;
  if (!FileExists(logPath)) return messages;
  for (const auto& line : SplitLines(ReadFile(logPath))) {
    std::size_t pos = line.find("] ");
    messages.push_back(pos == std::string::npos ? line : line.substr(pos + 2));
  }
  return messages;
}

namespace {

int ConnectLoopback(std::uint16_t port, const char* from) {
  // "::1" asks for the IPv6 loopback; any other From is an IPv4 loopback source address.
  const bool v6 = from && std::string(from) == "::1";
  int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in source{};
  source.sin_family = AF_INET;
  if (from && !v6 &&
      (inet_pton(AF_INET, from, &source.sin_addr) != 1 ||
       bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)) {
    close(fd);
    return -1;
  }
  sockaddr_storage target{};
  socklen_t targetLength = sizeof(sockaddr_in);
  if (v6) {
    auto& addr = reinterpret_cast<sockaddr_in6&>(target);
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(port);
    addr.sin6_addr = in6addr_loopback;
    targetLength = sizeof addr;
  } else {
    auto& addr = reinterpret_cast<sockaddr_in&>(target);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  // Bounded: a listener that never completes the handshake fails the test instead of holding
  // it through the kernel's SYN retries for minutes.
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int error = 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&target), targetLength) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      socklen_t length = sizeof error;
      if (poll(&p, 1, 10000) != 1)
        error = ETIMEDOUT;
      else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    }
  }
  if (error != 0) {
    close(fd);
    errno = error;
    return -1;
  }
  fcntl(fd, F_SETFL, flags);
  return fd;
}

}  // namespace

TRawClient::TRawClient(std::uint16_t port, const char* from) : FFd(ConnectLoopback(port, from)) {
  if (FFd < 0) throw std::runtime_error("connect failed: " + std::string(std::strerror(errno)));
}

TRawClient::~TRawClient() {
  Close();
}

void TRawClient::Close() {
  if (FFd >= 0) close(FFd);
  FFd = -1;
}

void TRawClient::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(FFd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send failed");
    sent += static_cast<std::size_t>(n);
  }
}

void TRawClient::SendInt(std::int32_t value) {
  std::uint32_t v = htonl(static_cast<std::uint32_t>(value));
  Send(std::string(reinterpret_cast<const char*>(&v), 4));
}

std::string TRawClient::Receive(std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (FPending.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{FFd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
      throw std::runtime_error("receive timed out");
    char buf[65536];
    ssize_t n = recv(FFd, buf, sizeof buf, 0);
    if (n <= 0) throw std::runtime_error("peer closed");
    FPending.append(buf, static_cast<std::size_t>(n));
  }
  std::string out = FPending.substr(0, count);
  FPending.erase(0, count);
  return out;
}

std::string TRawClient::ReceiveLine() {
  std::string line;
  for (;;) {
    std::size_t lf = FPending.find('\n');
    if (lf != std::string::npos) {
      line = Receive(lf + 1);
      line.pop_back();
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    // Pull more bytes in without consuming them.
    std::string more = Receive(FPending.size() + 1);
    FPending = more + FPending;
  }
}

std::int32_t TRawClient::ReceiveInt() {
  std::string b = Receive(4);
  std::uint32_t v;
  std::memcpy(&v, b.data(), 4);
  return static_cast<std::int32_t>(ntohl(v));
}

std::uint16_t TRawClient::LocalPort() const {
  sockaddr_in addr{};
  socklen_t size = sizeof addr;
  if (getsockname(FFd, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
    throw std::runtime_error("getsockname failed");
  return ntohs(addr.sin_port);
}

bool TRawClient::ClosedByPeer(std::chrono::milliseconds timeout) {
  if (!FPending.empty()) return false;
  pollfd p{FFd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
  char c;
  return recv(FFd, &c, 1, 0) <= 0;
}

TServerProcess::TServerProcess(const std::string& binary, const std::string& dir) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  FPid = fork();
  if (FPid < 0) throw std::runtime_error("fork failed");
  if (FPid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (chdir(dir.c_str()) != 0) _exit(126);
    execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  FOut = out[0];
  FErr = err[0];
}

TServerProcess::~TServerProcess() {
  if (!FExited && FPid > 0) {
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
  }
  if (FOut >= 0) close(FOut);
  if (FErr >= 0) close(FErr);
}

void TServerProcess::Pump(int waitMs) {
  pollfd p[2] = {{FOut, POLLIN, 0}, {FErr, POLLIN, 0}};
  if (poll(p, 2, waitMs) <= 0) return;
  char buf[4096];
  for (int i = 0; i < 2; ++i) {
    if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
    ssize_t n = read(p[i].fd, buf, sizeof buf);
    if (n > 0) (i == 0 ? FOutText : FErrText).append(buf, static_cast<std::size_t>(n));
  }
}

bool TServerProcess::WaitForLine(const std::string& line, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    for (const auto& l : SplitLines(FOutText))
      if (l == line && FOutText.find(line + "\n") != std::string::npos) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (!FExited && waitpid(FPid, &FStatus, WNOHANG) == FPid) FExited = true;
    Pump(50);
    if (FExited) {
      Pump(0);
      for (const auto& l : SplitLines(FOutText))
        if (l == line) return true;
      return false;
    }
  }
}

void TServerProcess::Signal(int sig) {
  kill(FPid, sig);
}

int TServerProcess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!FExited) {
    if (waitpid(FPid, &FStatus, WNOHANG) == FPid) {
      FExited = true;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    Pump(20);
  }
  for (int i = 0; i < 50; ++i) Pump(0);
  return FStatus;
}

std::string TServerProcess::Stdout() {
  Pump(0);
  return FOutText;
}

std::string TServerProcess::Stderr() {
  Pump(0);
  return FErrText;
}

bool PortClosed(std::uint16_t port) {
  int fd = ConnectLoopback(port, nullptr);
  if (fd < 0) return true;
  close(fd);
  return false;
}

long UnreadBytes(std::uint16_t from, std::uint16_t to) {
  // Lines of /proc/net/tcp and tcp6: "sl: local:port remote:port state tx_queue:rx_queue ...",
  // in hex; the server's sockets are IPv6 where the system has it.
  long unacknowledged = -1, unread = -1;
  for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream table(path);
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
      unsigned local = 0, remote = 0, state = 0;
      unsigned long tx = 0, rx = 0;
      if (std::sscanf(line.c_str(), " %*u: %*[0-9A-Fa-f]:%x %*[0-9A-Fa-f]:%x %x %lx:%lx", &local,
                      &remote, &state, &tx, &rx) != 5)
        continue;
      if (local == from && remote == to) unacknowledged = static_cast<long>(tx);
      if (local == to && remote == from) unread = static_cast<long>(rx);
    }
  }
  return unacknowledged < 0 || unread < 0 ? -1 : unacknowledged + unread;
}

pid_t ThisThread() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

bool Asleep(pid_t tid) {
  // The state follows the command name in parentheses, which may itself hold spaces.
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string stat;
  std::getline(in, stat);  // empty once the thread has ended
  const std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S';
}

}  // namespace test

namespace test {

TPrivateTmpfs::TPrivateTmpfs(std::size_t bytes) {
  static bool isolated = false;
  if (!isolated) {
    // A mount namespace belongs to a thread; one taken while single-threaded holds for every
    // thread started later, and goes with the process.
    std::size_t threads = ListDir("/proc/self/task").size();
    if (threads != 1) {
      FReason = "the test process already runs " + std::to_string(threads) + " threads";
      return;
    }
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      FReason = std::string("no private mount namespace: ") + std::strerror(errno);
      return;
    }
    isolated = true;
  }
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
  if (::mount("tmpfs", Path().c_str(), "tmpfs", 0, options.c_str()) != 0) {
    FReason = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    return;
  }
  FMounted = true;
}

TPrivateTmpfs::~TPrivateTmpfs() {
  if (FMounted) ::umount2(Path().c_str(), MNT_DETACH);
}

void TPrivateTmpfs::Fill() {
  const int fd = ::open((Path() + ".filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd < 0) throw std::runtime_error("cannot make the filler file");
  const std::string chunk(4096, 'f');
  while (::write(fd, chunk.data(), chunk.size()) > 0) {
  }
  // Whatever is left below a page goes too.
  while (::write(fd, chunk.data(), 1) > 0) {
  }
  ::close(fd);
}

void TPrivateTmpfs::Free() {
  ::unlink((Path() + ".filler").c_str());
}

}  // namespace test
