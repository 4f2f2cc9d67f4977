#include "bench/FloorLoad.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

namespace {

// What the three processes share (mapped before the forks).
struct TShared {
  std::atomic<int> listening{0};  // the sender's port once it listens
  std::atomic<int> accepted{0};
  std::atomic<std::int64_t> windowStart{0};  // NowNs; 0 while connections are being made
  std::atomic<std::int64_t> windowEnd{0};
  std::atomic<int> stop{0};
  std::atomic<std::int64_t> connected{0};      // receiver: connections made
  std::atomic<std::int64_t> windowBytes{0};    // receiver: bytes read in the window, in all
  std::atomic<std::int64_t> fullReceivers{0};  // receiver: connections that got every send
  std::atomic<std::int64_t> sendsShort{0};     // sender: sends the socket did not take whole
  std::atomic<std::int64_t> sendsFailed{0};
};

// A listening socket on 127.0.0.1:Port (0: a free port); sets Port to the one it got.
int ListenOn(int& port, int backlog) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(std::uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(fd, backlog) != 0)
    throw std::runtime_error("floor: cannot listen on port " + std::to_string(port));
  socklen_t length = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  port = ntohs(a.sin_port);
  return fd;
}

// The sender: accepts every connection, then one send of the same buffer to each, once a
// second, until told to stop. Nothing else.
void Sender(const TFloorOptions& o, TShared& shared) {
  int port = o.port;
  const int listener = ListenOn(port, 4096);
  shared.listening = port;
  std::vector<int> fds;
  fds.reserve(std::size_t(o.connections));
  while (int(fds.size()) < o.connections) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0 && errno == EINTR) continue;
    if (fd < 0) throw std::runtime_error("floor: accept failed");
    fds.push_back(fd);
    shared.accepted = int(fds.size());
  }
  const std::vector<char> buffer(std::size_t(o.bytes), 'x');
  for (std::int64_t next = NowNs(); !shared.stop.load(); next += 1000000000) {
    SleepUntil(next);
    for (const int fd : fds) {
      const ssize_t n = send(fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0)
        shared.sendsFailed++;
      else if (std::size_t(n) < buffer.size())
        shared.sendsShort++;
    }
  }
  for (const int fd : fds) close(fd);
  close(listener);
}

// The receiver: makes the connections, then reads whatever arrives; counts per connection what
// arrived in the window.
void Receiver(const TFloorOptions& o, TShared& shared) {
  while (!shared.listening.load() && !shared.stop.load()) usleep(1000);
  const int port = shared.listening.load();
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  std::vector<int> fds;
  for (int i = 0; i < o.connections; ++i) {
    const int fd = ConnectBlocking(port, SourceAddress(i));
    fds.push_back(fd);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = std::uint32_t(i);
    epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev);
    shared.connected = i + 1;
  }
  std::vector<std::int64_t> got(fds.size(), 0);
  static char buffer[65536];
  epoll_event events[512];
  while (!shared.stop.load()) {
    const int n = epoll_wait(epoll, events, 512, 20);
    const std::int64_t now = NowNs();
    const std::int64_t start = shared.windowStart.load();
    const bool inWindow = start != 0 && now >= start && now < shared.windowEnd.load();
    for (int i = 0; i < n; ++i) {
      const std::uint32_t index = events[i].data.u32;
      const ssize_t r = recv(fds[index], buffer, sizeof buffer, MSG_DONTWAIT);
      if (r > 0 && inWindow) got[index] += r;
    }
  }
  const std::int64_t seconds = (shared.windowEnd.load() - shared.windowStart.load()) / 1000000000;
  // One send may fall on either side of each window edge.
  const std::int64_t least = std::int64_t(o.bytes) * std::max<std::int64_t>(seconds - 1, 0);
  std::int64_t total = 0, full = 0;
  for (const std::int64_t bytes : got) {
    total += bytes;
    full += bytes >= least;
  }
  shared.windowBytes = total;
  shared.fullReceivers = full;
  for (const int fd : fds) close(fd);
  close(epoll);
}

pid_t Fork(const TFloorOptions& o, TShared& shared, void (*body)(const TFloorOptions&, TShared&)) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  try {
    body(o, shared);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zarnel-bench: %s\n", e.what());
    shared.stop = 1;
    _exit(1);
  }
  _exit(0);
}

}  // namespace

TJson RunFloor(const TFloorOptions& o) {
  void* memory =
      mmap(nullptr, sizeof(TShared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::runtime_error("mmap failed");
  auto* shared = new (memory) TShared();
  const std::int64_t begin = NowNs();
  const pid_t sender = Fork(o, *shared, Sender);
  const pid_t receiver = Fork(o, *shared, Receiver);
  const std::int64_t rampDeadline = begin + std::int64_t((30 + o.connections / 100.0) * 1e9);
  while ((shared->accepted.load() < o.connections || shared->connected.load() < o.connections) &&
         !shared->stop.load() && NowNs() < rampDeadline)
    usleep(20000);
  const double rampSeconds = double(NowNs() - begin) / 1e9;
  const std::int64_t start = NowNs() + std::int64_t(o.warmupSeconds * 1e9);
  shared->windowEnd = start + std::int64_t(o.windowSeconds * 1e9);
  shared->windowStart = start;
  SleepUntil(start);
  const TProcSample first = SampleProcess(sender);
  const TProcSample firstReceiver = SampleProcess(receiver);
  SleepUntil(shared->windowEnd.load());
  const TProcSample last = SampleProcess(sender);
  const TProcSample lastReceiver = SampleProcess(receiver);
  usleep(200000);  // what was sent in the window arrives
  shared->stop = 1;
  int senderStatus = 0, receiverStatus = 0;
  waitpid(sender, &senderStatus, 0);
  waitpid(receiver, &receiverStatus, 0);

  TJson out;
  out.Str("mode", "floor")
      .Int("connections", o.connections)
      .Int("bytes_per_second", o.bytes)
      .Num("ramp_seconds", rampSeconds)
      .Num("window_seconds", o.windowSeconds)
      .Int("connected", shared->connected.load())
      .Num("sender_cpu_pct_one_core", (last.cpuSeconds - first.cpuSeconds) / o.windowSeconds * 100)
      .Num("receiver_cpu_pct_one_core",
           (lastReceiver.cpuSeconds - firstReceiver.cpuSeconds) / o.windowSeconds * 100)
      .Int("sender_peak_rss_kib", last.peakRssKiB)
      .Int("connections_full_every_second", shared->fullReceivers.load())
      .Num("received_bytes_per_connection_per_s",
           double(shared->windowBytes.load()) / std::max(1, o.connections) / o.windowSeconds)
      .Int("sends_short", shared->sendsShort.load())
      .Int("sends_failed", shared->sendsFailed.load())
      .Bool("clean_exit", WIFEXITED(senderStatus) && WEXITSTATUS(senderStatus) == 0 &&
                              WIFEXITED(receiverStatus) && WEXITSTATUS(receiverStatus) == 0);
  munmap(memory, sizeof(TShared));
  return out;
}

}  // namespace bench
