#include "bench/BenchUtil.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace bench {

std::int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SleepUntil(std::int64_t deadline) {
  timespec ts{};
  ts.tv_sec = deadline / 1000000000;
  ts.tv_nsec = deadline % 1000000000;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

std::string SourceAddress(int index) {
  return "127.0.0." + std::to_string(10 + index % 16);
}

namespace {

sockaddr_in Loopback(const std::string& address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(std::uint16_t(port));
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  return a;
}

// A TCP socket bound to Source with the port chosen only at connect, so every source address
// serves the whole ephemeral range per destination.
int BoundSocket(const std::string& source, int flags) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in src = Loopback(source, 0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int StartConnect(const std::string& source, int port) {
  int fd = BoundSocket(source, SOCK_NONBLOCK);
  if (fd < 0) return -1;
  sockaddr_in dst = Loopback("127.0.0.1", port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

int ConnectBlocking(int port, const std::string& source) {
  int fd = BoundSocket(source, 0);
  if (fd < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
  sockaddr_in dst = Loopback("127.0.0.1", port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0) {
    int err = errno;
    close(fd);
    throw std::runtime_error("connect to port " + std::to_string(port) + ": " + std::strerror(err));
  }
  return fd;
}

void SendAll(int fd, const void* data, std::size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("send: " + std::string(std::strerror(errno)));
    p += n;
    len -= std::size_t(n);
  }
}

void RecvExact(int fd, void* data, std::size_t len) {
  char* p = static_cast<char*>(data);
  while (len > 0) {
    ssize_t n = recv(fd, p, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) throw std::runtime_error("connection closed by the server");
    if (n < 0) throw std::runtime_error("recv: " + std::string(std::strerror(errno)));
    p += n;
    len -= std::size_t(n);
  }
}

std::string RecvLine(int fd) {
  std::string line;
  char c = 0;
  for (;;) {
    RecvExact(fd, &c, 1);
    if (c == '\n') break;
    line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::int32_t RecvInt(int fd) {
  std::uint32_t v = 0;
  RecvExact(fd, &v, 4);
  return std::int32_t(ntohl(v));
}

void PutInt(std::string& out, std::int32_t value) {
  std::uint32_t v = htonl(std::uint32_t(value));
  out.append(reinterpret_cast<const char*>(&v), 4);
}

double Percentile(std::vector<std::int32_t>& samples, double fraction) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  auto index = std::size_t(std::ceil(fraction * double(samples.size())));
  if (index > 0) --index;
  return samples[std::min(index, samples.size() - 1)];
}

TProcSample SampleProcess(pid_t pid) {
  TProcSample s;
  std::string base = "/proc/" + std::to_string(pid);
  std::ifstream stat(base + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name, which may hold spaces, start after the last ')'.
  auto close = text.rfind(')');
  if (close == std::string::npos) return s;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stoll(field);
    if (i == 15) {
      stime = std::stoll(field);
      break;
    }
  }
  s.cpuSeconds = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
  std::ifstream status(base + "/status");
  std::string line;
  while (std::getline(status, line)) {
    auto value = [&line] { return std::atoll(line.c_str() + line.find(':') + 1); };
    if (line.rfind("VmRSS:", 0) == 0) s.rssKiB = value();
    if (line.rfind("VmHWM:", 0) == 0) s.peakRssKiB = value();
    if (line.rfind("Threads:", 0) == 0) s.threads = int(value());
  }
  if (DIR* dir = opendir((base + "/fd").c_str())) {
    while (dirent* e = readdir(dir)) s.fds += e->d_name[0] != '.';
    closedir(dir);
  }
  s.ok = true;
  return s;
}

TSocketMemory SampleSocketMemory(int port) {
  TSocketMemory m;
  const std::string command =
      "ss -tmnH state connected '( sport = :" + std::to_string(port) + " )' 2>/dev/null";
  FILE* ss = popen(command.c_str(), "r");
  if (!ss) return m;
  // One line per socket (state, Recv-Q, Send-Q, addresses), its skmem on the next one.
  char buffer[4096];
  const auto field = [](const std::string& skmem, const std::string& name) -> std::int64_t {
    for (std::size_t at = skmem.find('(') + 1; at != 0 && at < skmem.size();) {
      const std::size_t end = skmem.find_first_of(",)", at);
      const std::string item = skmem.substr(at, end - at);
      std::size_t digits = 0;
      while (digits < item.size() && !std::isdigit(static_cast<unsigned char>(item[digits])))
        ++digits;
      if (item.substr(0, digits) == name) return std::atoll(item.c_str() + digits);
      if (end == std::string::npos || skmem[end] == ')') break;
      at = end + 1;
    }
    return 0;
  };
  while (std::fgets(buffer, sizeof buffer, ss)) {
    const std::string line = buffer;
    const std::size_t skmem = line.find("skmem:(");
    if (skmem != std::string::npos) {
      const std::string text = line.substr(skmem + 6);
      m.queuedBytes += field(text, "w");
      m.allocBytes += field(text, "t");
      m.sendBufferBytes += field(text, "tb");
      m.receivedBytes += field(text, "r");
      m.forwardBytes += field(text, "f");
      m.optionBytes += field(text, "o");
      m.backlogBytes += field(text, "bl");
      continue;
    }
    std::istringstream words(line);
    std::string state;
    std::int64_t recvQ = 0, sendQ = 0;
    if (!(words >> state >> recvQ >> sendQ)) continue;
    ++m.sockets;
    if (state == "ESTAB") ++m.established;
    m.sendQueueBytes += sendQ;
  }
  m.ok = pclose(ss) == 0;
  return m;
}

TTcpMemory SampleTcpMemory() {
  TTcpMemory m;
  std::ifstream sockstat("/proc/net/sockstat");
  for (std::string word; sockstat >> word;) {
    if (word != "TCP:") continue;
    std::string line;
    std::getline(sockstat, line);
    const std::size_t at = line.find(" mem ");
    if (at != std::string::npos) m.pages = std::atoll(line.c_str() + at + 5);
    break;
  }
  std::int64_t low = 0;
  // A network namespace has no tcp_mem of its own: run.sh passes the system's in.
  std::ifstream limits("/proc/sys/net/ipv4/tcp_mem");
  if (!(limits >> low >> m.pressurePages >> m.limitPages)) {
    const char* passed = std::getenv("ZARNEL_BENCH_TCP_MEM");
    std::istringstream(passed ? passed : "") >> low >> m.pressurePages >> m.limitPages;
  }
  return m;
}

void TJson::Key(const std::string& key) {
  if (!FBody.empty()) FBody += ",";
  FBody += "\"" + key + "\":";
}

TJson& TJson::Num(const std::string& key, double value) {
  Key(key);
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", std::isfinite(value) ? value : 0.0);
  FBody += text;
  return *this;
}

TJson& TJson::Int(const std::string& key, std::int64_t value) {
  Key(key);
  FBody += std::to_string(value);
  return *this;
}

TJson& TJson::Bool(const std::string& key, bool value) {
  Key(key);
  FBody += value ? "true" : "false";
  return *this;
}

TJson& TJson::Str(const std::string& key, const std::string& value) {
  Key(key);
  FBody += "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') FBody += '\\';
    FBody += (unsigned char)c < 0x20 ? ' ' : c;
  }
  FBody += "\"";
  return *this;
}

TJson& TJson::Obj(const std::string& key, const TJson& value) {
  Key(key);
  FBody += value.Text();
  return *this;
}

TJson& TJson::Arr(const std::string& key, const std::vector<TJson>& values) {
  Key(key);
  FBody += "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) FBody += ",";
    FBody += values[i].Text();
  }
  FBody += "]";
  return *this;
}

}  // namespace bench
