#include "bench/ViewLoad.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "bench/BenchUtil.h"
#include "bench/ViewParser.h"
#include "common/Protocol.h"

namespace bench {

namespace {

class TRunner;

// One viewer connection: the handshake in lines, then the binary stream.
class TViewer : public TViewSink {
 public:
  enum class TState { Connecting, Greeting, Ok, NoAuth, Stream, Done };

  TViewer(TRunner& runner, int fd, const TViewLoadOptions& options)
      : FRunner(runner),
        FFd(fd),
        FParser(options.bufferBudget, options.normalBudget, options.startSection,
                options.currentSection) {}
  ~TViewer() override { Close(); }

  void OnEvent(std::uint32_t events);
  void Close();
  TState State() const { return FState; }
  bool Streaming() const { return FStreaming; }

  void CycleStart(std::int64_t now) override;
  void Announce(int streams) override;
  void Chunk(int slot, std::int64_t offset, std::int32_t announced, std::int32_t length,
             std::int64_t now) override;
  void CycleEnd(std::int64_t bytes, std::int64_t expected) override;

  std::int64_t windowBytes = 0;
  std::int64_t shortCycles = 0;
  std::int64_t dataCycles = 0;
  bool windowCycle = false;  // a cycle began inside the window
  bool failedEarly = false;  // failed before the window ended

 private:
  void Connected();
  void Readable();
  // Handles one handshake line; false when the viewer failed.
  bool Line(const std::string& line);
  void Queue(const std::string& text);
  void Flush();
  void Fail(TCounter why);

  TRunner& FRunner;
  int FFd;
  TState FState = TState::Connecting;
  bool FStreaming = false;
  std::string FLine;
  std::string FOut;
  TViewParser FParser;
  std::int64_t FLastCycle = 0;
  std::int64_t FCycleStart = 0;
};

class TRunner {
 public:
  TRunner(const TViewLoadOptions& options, TCoordination& coordination)
      : options(options), coordination(coordination), epoll(epoll_create1(EPOLL_CLOEXEC)) {}
  ~TRunner() {
    viewers.clear();
    close(epoll);
  }
  TViewResults Run();

  bool InWindow(std::int64_t t) const {
    std::int64_t start = coordination.windowStart.load(std::memory_order_relaxed);
    return start != 0 && t >= start && t < coordination.windowEnd.load(std::memory_order_relaxed);
  }
  bool WindowOver(std::int64_t t) const {
    std::int64_t end = coordination.windowEnd.load(std::memory_order_relaxed);
    return end != 0 && t >= end;
  }

  const TViewLoadOptions& options;
  TCoordination& coordination;
  const int epoll;
  TViewResults results;
  int pending = 0;     // started, not yet streaming nor done
  int connecting = 0;  // started, greeting not yet received: in the server's accept queue
  std::vector<std::unique_ptr<TViewer>> viewers;

 private:
  void StartSome(std::int64_t now, std::int64_t begin);
  bool AllSettled() const;
  void Finish();
};

void TViewer::OnEvent(std::uint32_t events) {
  if (FState == TState::Done) return;
  if (FState == TState::Connecting) {
    int error = 0;
    socklen_t len = sizeof error;
    getsockopt(FFd, SOL_SOCKET, SO_ERROR, &error, &len);
    if (error != 0 || (events & (EPOLLERR | EPOLLHUP))) return Fail(cRefused);
    return Connected();
  }
  if (events & EPOLLOUT) Flush();
  if (FState != TState::Done && (events & (EPOLLIN | EPOLLERR | EPOLLHUP))) Readable();
}

void TViewer::Connected() {
  FState = TState::Greeting;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = this;
  epoll_ctl(FRunner.epoll, EPOLL_CTL_MOD, FFd, &ev);
}

void TViewer::Readable() {
  static unsigned char buf[65536];
  ssize_t n = recv(FFd, buf, sizeof buf, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  std::int64_t now = NowNs();
  if (n <= 0) {
    if (FState == TState::Greeting) return Fail(cRefused);
    if (FState != TState::Stream || !FStreaming) return Fail(cFailedHandshake);
    std::int64_t term = FRunner.coordination.sigtermAt.load();
    if (term != 0) {
      auto& last = FRunner.results.counters[cLastCloseMs];
      FRunner.results.counters[cClosedAfterTerm]++;
      last = std::max(last, (now - term) / 1000000);
    }
    return Fail(cFailedStreaming);
  }
  std::size_t used = 0;
  while (FState != TState::Stream && used < std::size_t(n)) {
    char c = char(buf[used++]);
    if (c != '\n') {
      FLine += c;
      continue;
    }
    if (!FLine.empty() && FLine.back() == '\r') FLine.pop_back();
    std::string line;
    line.swap(FLine);
    if (!Line(line)) return;
  }
  if (FState != TState::Stream || used == std::size_t(n)) return;
  if (!FParser.Feed(buf + used, std::size_t(n) - used, now, *this)) {
    FRunner.results.counters[cProtocolErrors]++;
    Fail(cFailedStreaming);
  }
}

bool TViewer::Line(const std::string& line) {
  const auto& o = FRunner.options;
  switch (FState) {
    case TState::Greeting:
      if (line != Greeting(ViewProtocol)) break;
      FState = TState::Ok;
      FRunner.connecting--;
      Queue("CLIENTVERSION\t" + std::to_string(ViewProtocol) + "\r\n");
      return true;
    case TState::Ok:
      if (line != "OK") break;
      FState = TState::NoAuth;
      return true;
    case TState::NoAuth:
      if (line != "NOAUTH") break;
      FState = TState::Stream;
      Queue("REQUEST\t" + o.game + "\t" + std::to_string(o.startSection) + "\t" +
            std::to_string(o.currentSection) + "\tFALSE\r\n");
      return true;
    default:
      break;
  }
  Fail(FState == TState::Greeting ? cRefused : cFailedHandshake);
  return false;
}

void TViewer::Queue(const std::string& text) {
  FOut += text;
  Flush();
}

void TViewer::Flush() {
  if (FState == TState::Done) return;
  while (!FOut.empty()) {
    ssize_t n = send(FFd, FOut.data(), FOut.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n < 0) return Fail(FStreaming ? cFailedStreaming : cFailedHandshake);
    FOut.erase(0, std::size_t(n));
  }
  epoll_event ev{};
  ev.events = EPOLLIN | (FOut.empty() ? 0u : unsigned(EPOLLOUT));
  ev.data.ptr = this;
  epoll_ctl(FRunner.epoll, EPOLL_CTL_MOD, FFd, &ev);
}

void TViewer::Fail(TCounter why) {
  if (FState == TState::Done) return;
  if (!FStreaming) FRunner.pending--;
  if (FState == TState::Connecting || FState == TState::Greeting) FRunner.connecting--;
  // Closures after the window (the server stopping) are counted apart.
  if (!FRunner.WindowOver(NowNs())) {
    FRunner.results.counters[why]++;
    failedEarly = true;
  }
  Close();
}

void TViewer::Close() {
  FState = TState::Done;
  if (FFd >= 0) close(FFd);
  FFd = -1;
}

void TViewer::CycleStart(std::int64_t now) {
  if (!FStreaming) {
    FStreaming = true;
    FRunner.pending--;
    FRunner.results.counters[cStreaming]++;
  }
  if (FRunner.InWindow(now)) {
    windowCycle = true;
    std::int64_t period = (now - FLastCycle) / 1000;
    if (FLastCycle != 0) {
      FRunner.results.periodsUs.push_back(std::int32_t(std::min<std::int64_t>(period, INT32_MAX)));
      if (period > 1100000) FRunner.results.counters[cLateCycles]++;
    }
  }
  FLastCycle = now;
  FCycleStart = now;
}

void TViewer::Announce(int streams) {
  std::string offsets;
  for (int i = 0; i < streams; ++i) PutInt(offsets, 0);
  FOut += offsets;
}

void TViewer::Chunk(int slot, std::int64_t offset, std::int32_t announced, std::int32_t length,
                    std::int64_t now) {
  auto& live = FRunner.coordination.live;
  if (!FRunner.options.live || length == 0 || slot >= LiveStreams || !FRunner.InWindow(now)) return;
  std::int64_t blockBytes = live.blockBytes.load();
  if (blockBytes <= 0) return;
  // Stream data start at the file's base position, which the announced length leaves out.
  std::int64_t fileOffset = live.sectionBytes.load() - announced + offset;
  std::int64_t block = fileOffset / blockBytes;
  if (block < 0 || block >= MaxLiveBlocks) return;
  std::int64_t sent = live.sent[slot][block].load();
  if (sent == 0) return;
  FRunner.results.latenciesUs.push_back(std::int32_t((now - sent) / 1000));
}

void TViewer::CycleEnd(std::int64_t bytes, std::int64_t expected) {
  // Resume offsets go out with the announcement cycle's end, in one send.
  if (!FOut.empty()) Flush();
  if (!FRunner.InWindow(FCycleStart)) return;
  windowBytes += bytes;
  if (expected <= 0) return;
  dataCycles++;
  if (bytes < expected) shortCycles++;
}

void TRunner::StartSome(std::int64_t now, std::int64_t begin) {
  auto due = std::int64_t(double(now - begin) / 1e9 * options.connectRate) + 1;
  while (std::int64_t(viewers.size()) < std::min<std::int64_t>(due, options.count) &&
         pending < options.maxPending && connecting < options.maxConnecting &&
         now < options.rampDeadline) {
    int index = options.first + int(viewers.size());
    int fd = StartConnect(SourceAddress(index), options.port);
    results.counters[cStarted]++;
    pending++;
    connecting++;
    viewers.push_back(std::make_unique<TViewer>(*this, fd, options));
    TViewer& viewer = *viewers.back();
    if (fd < 0) {
      viewer.OnEvent(EPOLLERR);
      continue;
    }
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.ptr = &viewer;
    epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev);
  }
}

bool TRunner::AllSettled() const {
  if (pending > 0) return false;
  return std::int64_t(viewers.size()) >= options.count || NowNs() >= options.rampDeadline;
}

TViewResults TRunner::Run() {
  std::int64_t begin = NowNs();
  bool reported = false;
  epoll_event events[512];
  while (!coordination.stop.load()) {
    std::int64_t now = NowNs();
    StartSome(now, begin);
    if (!reported && AllSettled()) {
      reported = true;
      coordination.ready++;
    }
    int n = epoll_wait(epoll, events, 512, 5);
    for (int i = 0; i < n; ++i)
      static_cast<TViewer*>(events[i].data.ptr)->OnEvent(events[i].events);
  }
  Finish();
  return std::move(results);
}

void TRunner::Finish() {
  std::int64_t start = coordination.windowStart.load();
  std::int64_t end = coordination.windowEnd.load();
  double seconds = double(end - start) / 1e9;
  for (auto& v : viewers) {
    if (v->State() == TViewer::TState::Connecting || v->State() == TViewer::TState::Greeting) {
      results.counters[cNotGreeted]++;
    } else if (v->State() != TViewer::TState::Done && !v->Streaming()) {
      results.counters[cNotStreaming]++;
    }
    if (!v->Streaming() || v->failedEarly || !v->windowCycle || seconds <= 0) continue;
    results.counters[cServed]++;
    if (v->dataCycles > 0 && v->shortCycles == 0) results.counters[cAlwaysFull]++;
    results.counters[cDataCycles] += v->dataCycles;
    results.counters[cShortCycles] += v->shortCycles;
    results.ratesBps.push_back(std::int32_t(double(v->windowBytes) / seconds));
  }
}

void WriteAll(int fd, const void* data, std::size_t len) {
  auto p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    len -= std::size_t(n);
  }
}

bool ReadAll(int fd, void* data, std::size_t len) {
  auto p = static_cast<char*>(data);
  while (len > 0) {
    ssize_t n = read(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= std::size_t(n);
  }
  return true;
}

}  // namespace

void TViewResults::Merge(const TViewResults& other) {
  for (int i = 0; i < cCounters; ++i) {
    if (i == cLastCloseMs) {
      counters[i] = std::max(counters[i], other.counters[i]);
    } else {
      counters[i] += other.counters[i];
    }
  }
  periodsUs.insert(periodsUs.end(), other.periodsUs.begin(), other.periodsUs.end());
  latenciesUs.insert(latenciesUs.end(), other.latenciesUs.begin(), other.latenciesUs.end());
  ratesBps.insert(ratesBps.end(), other.ratesBps.begin(), other.ratesBps.end());
}

void TViewResults::Write(int fd) const {
  WriteAll(fd, counters.data(), sizeof counters);
  for (const auto* v : {&periodsUs, &latenciesUs, &ratesBps}) {
    std::uint64_t size = v->size();
    WriteAll(fd, &size, sizeof size);
    WriteAll(fd, v->data(), size * sizeof(std::int32_t));
  }
}

bool TViewResults::Read(int fd) {
  if (!ReadAll(fd, counters.data(), sizeof counters)) return false;
  for (auto* v : {&periodsUs, &latenciesUs, &ratesBps}) {
    std::uint64_t size = 0;
    if (!ReadAll(fd, &size, sizeof size) || size > (1u << 28)) return false;
    v->resize(size);
    if (!ReadAll(fd, v->data(), size * sizeof(std::int32_t))) return false;
  }
  return true;
}

TViewResults RunViewers(const TViewLoadOptions& options, TCoordination& coordination) {
  TRunner runner(options, coordination);
  return runner.Run();
}

}  // namespace bench
