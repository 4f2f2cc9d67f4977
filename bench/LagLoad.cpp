#include "bench/LagLoad.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <vector>

#include "common/Protocol.h"

namespace bench {

namespace {

enum class TLagState { Idle, Connecting, Greeting, Lagging, Done };

struct TLagViewer {
  int fd = -1;
  TLagState state = TLagState::Idle;
  std::string line;
  std::int64_t requestedAt = 0;
};

// Connections in their handshake at once: the server's accept queue is short.
constexpr int MaxHandshaking = 32;

class TLagRunner {
 public:
  explicit TLagRunner(const TLagOptions& options)
      : FOptions(options), FViewers(std::size_t(options.count)) {
    FEpoll = epoll_create1(EPOLL_CLOEXEC);
  }
  ~TLagRunner() {
    for (auto& v : FViewers)
      if (v.fd >= 0) close(v.fd);
    close(FEpoll);
  }

  TJson Run();

 private:
  void StartSome(std::int64_t now);
  void OnEvent(TLagViewer& viewer, std::uint32_t events);
  void Handshake(TLagViewer& viewer);
  void ReadSlowly();
  void Closed(TLagViewer& viewer, bool byServer);
  TJson Sample(std::int64_t now);

  const TLagOptions& FOptions;
  std::vector<TLagViewer> FViewers;
  int FEpoll = -1;
  int FStarted = 0;
  int FHandshaking = 0;
  int FRequested = 0;
  int FLagging = 0;
  int FFailed = 0;  // refused or closed before the request
  int FClosedByServer = 0;
  std::vector<std::int32_t> FCloseMs;  // after the viewer's request
  std::int64_t FBegin = 0;
  std::int64_t FLastRequest = 0;
};

void TLagRunner::StartSome(std::int64_t now) {
  const auto due = std::int64_t(double(now - FBegin) / 1e9 * FOptions.connectRate) + 1;
  while (FStarted < std::min<std::int64_t>(due, FOptions.count) && FHandshaking < MaxHandshaking) {
    TLagViewer& viewer = FViewers[std::size_t(FStarted)];
    viewer.fd = StartConnect(SourceAddress(FStarted), FOptions.port);
    ++FStarted;
    if (viewer.fd < 0) {
      ++FFailed;
      viewer.state = TLagState::Done;
      continue;
    }
    ++FHandshaking;
    viewer.state = TLagState::Connecting;
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.ptr = &viewer;
    epoll_ctl(FEpoll, EPOLL_CTL_ADD, viewer.fd, &ev);
  }
}

void TLagRunner::OnEvent(TLagViewer& viewer, std::uint32_t events) {
  switch (viewer.state) {
    case TLagState::Connecting: {
      int error = 0;
      socklen_t len = sizeof error;
      getsockopt(viewer.fd, SOL_SOCKET, SO_ERROR, &error, &len);
      if (error != 0 || (events & (EPOLLERR | EPOLLHUP))) return Closed(viewer, false);
      viewer.state = TLagState::Greeting;
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.ptr = &viewer;
      epoll_ctl(FEpoll, EPOLL_CTL_MOD, viewer.fd, &ev);
      return;
    }
    case TLagState::Greeting:
      return Handshake(viewer);
    case TLagState::Lagging:
      // Registered for nothing: only an error or a hang-up (the server's reset) comes here.
      if (events & (EPOLLERR | EPOLLHUP)) Closed(viewer, true);
      return;
    default:
      return;
  }
}

void TLagRunner::Handshake(TLagViewer& viewer) {
  // Nothing but these lines comes before the request, so a whole read takes no stream data.
  char buffer[4096];
  const ssize_t n = recv(viewer.fd, buffer, sizeof buffer, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) return Closed(viewer, false);
  for (ssize_t i = 0; i < n; ++i) {
    if (buffer[i] != '\n') {
      viewer.line += buffer[i];
      continue;
    }
    if (!viewer.line.empty() && viewer.line.back() == '\r') viewer.line.pop_back();
    const std::string line = std::move(viewer.line);
    viewer.line.clear();
    std::string reply;
    if (line == Greeting(ViewProtocol)) {
      reply = "CLIENTVERSION\t" + std::to_string(ViewProtocol) + "\r\n";
    } else if (line == "NOAUTH") {
      // The resume offsets go with the request: a viewer that never reads could not answer
      // the announcement.
      reply = "REQUEST\t" + FOptions.game + "\t0\t0\tFALSE\r\n";
      for (int s = 0; s < FOptions.streams; ++s) PutInt(reply, 0);
    } else if (line != "OK") {
      return Closed(viewer, false);
    }
    if (!reply.empty() &&
        send(viewer.fd, reply.data(), reply.size(), MSG_NOSIGNAL) != ssize_t(reply.size()))
      return Closed(viewer, false);
    if (line == "NOAUTH") {
      viewer.state = TLagState::Lagging;
      viewer.requestedAt = NowNs();
      FLastRequest = viewer.requestedAt;
      --FHandshaking;
      ++FRequested;
      ++FLagging;
      epoll_event ev{};
      ev.data.ptr = &viewer;
      epoll_ctl(FEpoll, EPOLL_CTL_MOD, viewer.fd, &ev);
      return;
    }
  }
}

void TLagRunner::ReadSlowly() {
  static char sink[65536];
  const std::size_t want =
      std::min<std::size_t>(std::size_t(FOptions.readBytesPerSecond), sizeof sink);
  for (auto& viewer : FViewers) {
    if (viewer.state != TLagState::Lagging) continue;
    const ssize_t n = recv(viewer.fd, sink, want, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) Closed(viewer, true);
  }
}

void TLagRunner::Closed(TLagViewer& viewer, bool byServer) {
  if (viewer.state == TLagState::Lagging) {
    --FLagging;
    if (byServer) {
      ++FClosedByServer;
      FCloseMs.push_back(std::int32_t((NowNs() - viewer.requestedAt) / 1000000));
    }
  } else {
    --FHandshaking;
    ++FFailed;
  }
  viewer.state = TLagState::Done;
  close(viewer.fd);
  viewer.fd = -1;
}

TJson TLagRunner::Sample(std::int64_t now) {
  const TSocketMemory server = SampleSocketMemory(FOptions.port);
  const TTcpMemory tcp = SampleTcpMemory();
  const double perSocket = double(std::max(server.sockets, 1)) * 1024;
  TJson sample;
  sample.Num("seconds", FLastRequest ? double(now - FLastRequest) / 1e9 : 0)
      .Int("viewers_lagging", FLagging)
      .Int("server_sockets", server.sockets)
      .Int("server_established", server.established)
      .Num("send_q_mib", double(server.sendQueueBytes) / 1048576)
      .Num("w_mib", double(server.queuedBytes) / 1048576)
      .Num("t_mib", double(server.allocBytes) / 1048576)
      .Num("w_plus_t_kib_per_socket", double(server.queuedBytes + server.allocBytes) / perSocket)
      .Num("sndbuf_kib_per_socket", double(server.sendBufferBytes) / perSocket)
      .Num("system_tcp_mib", double(tcp.pages) * 4096 / 1048576)
      .Bool("ss_ok", server.ok);
  return sample;
}

TJson TLagRunner::Run() {
  if (FEpoll < 0) throw std::runtime_error("epoll_create1 failed");
  FBegin = NowNs();
  std::vector<TJson> samples;
  std::int64_t nextSample = 0, nextRead = FBegin + 1000000000, nextGuard = FBegin;
  bool guardTripped = false;
  epoll_event events[512];
  for (;;) {
    const std::int64_t now = NowNs();
    StartSome(now);
    const bool ramped = FStarted == FOptions.count && FHandshaking == 0;
    if (ramped && FLastRequest == 0) break;  // nobody got in
    if (ramped && now >= FLastRequest + std::int64_t(FOptions.holdSeconds * 1e9)) break;
    if (ramped && nextSample == 0) nextSample = now;
    if (nextSample != 0 && now >= nextSample) {
      samples.push_back(Sample(now));
      nextSample += std::int64_t(FOptions.sampleSeconds * 1e9);
    }
    if (FOptions.readBytesPerSecond > 0 && now >= nextRead) {
      ReadSlowly();
      nextRead += 1000000000;
    }
    if (FOptions.guard && now >= nextGuard) {
      nextGuard = now + 200000000;
      const TTcpMemory tcp = SampleTcpMemory();
      if (tcp.pressurePages > 0 && tcp.pages >= tcp.pressurePages) {
        samples.push_back(Sample(now));
        guardTripped = true;
        break;
      }
    }
    const int n = epoll_wait(FEpoll, events, 512, 20);
    for (int i = 0; i < n; ++i)
      OnEvent(*static_cast<TLagViewer*>(events[i].data.ptr), events[i].events);
  }
  TJson closes;
  closes.Int("closed_by_server", FClosedByServer)
      .Num("first_after_request_s", Percentile(FCloseMs, 0) / 1000)
      .Num("last_after_request_s", Percentile(FCloseMs, 1) / 1000);
  const TTcpMemory tcp = SampleTcpMemory();
  TJson out;
  out.Str("mode", FOptions.readBytesPerSecond > 0 ? "slow" : "stuck")
      .Int("viewers_requested", FOptions.count)
      .Int("read_bytes_per_second", FOptions.readBytesPerSecond)
      .Int("got_in", FRequested)
      .Int("failed_before_request", FFailed)
      .Obj("closes", closes)
      .Bool("stopped_at_tcp_pressure", guardTripped)
      .Num("tcp_pressure_mib", double(tcp.pressurePages) * 4096 / 1048576)
      .Num("tcp_limit_mib", double(tcp.limitPages) * 4096 / 1048576)
      .Arr("samples", samples);
  return out;
}

}  // namespace

TJson RunLaggingViewers(const TLagOptions& options) {
  TLagRunner runner(options);
  return runner.Run();
}

}  // namespace bench
