// zarnel-bench: load generator for a running server on 127.0.0.1. Prints one JSON object.
//   store   --game G [--sections 200 --streams 2 --bytes 70000 --block 16384]
//   view    --game G --viewers N --pid PID [--window 30 --warmup 5 --ramp S --rate 2000
//           --pending 256 --connecting 16 --buffer 7000 --bandwidth 7000 --procs K --live RATE
//           --sigterm]
//   lag     --game G --viewers N [--read B --hold 60 --sample 5 --rate 500 --streams 2
//           --no-guard]   viewers that never read (stuck), or read B bytes a second (slow)
//   film    --dir D [--sections 16 --section-mb 16 --block 16384 --rounds 5]
//   setups  [--seconds 5]   a TCP_NODELAY filmer, then one that keeps Nagle's algorithm
//   floor   --connections N [--bytes 7000 --window 30 --warmup 5 --port 28900]   the machine's
//           floor: a sender that only sends BYTES a second to each of N connections
// Common: --password P (the film password), --view-port, --film-port.
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchUtil.h"
#include "bench/FilmLoad.h"
#include "bench/FloorLoad.h"
#include "bench/LagLoad.h"
#include "bench/ViewLoad.h"
#include "common/Protocol.h"

using namespace bench;

namespace {

// "--name value" pairs and bare flags.
class TOptions {
 public:
  TOptions(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
      std::string name = argv[i];
      if (name.rfind("--", 0) != 0) throw std::runtime_error("unexpected argument " + name);
      bool flag = i + 1 >= argc || std::string(argv[i + 1]).rfind("--", 0) == 0;
      FValues[name.substr(2)] = flag ? "" : argv[++i];
    }
  }
  bool Has(const std::string& name) const { return FValues.count(name) != 0; }
  std::string Str(const std::string& name, const std::string& def) const {
    auto it = FValues.find(name);
    return it == FValues.end() ? def : it->second;
  }
  double Num(const std::string& name, double def) const {
    auto it = FValues.find(name);
    if (it == FValues.end()) return def;
    char* end = nullptr;
    double v = std::strtod(it->second.c_str(), &end);
    if (it->second.empty() || *end != 0) throw std::runtime_error("--" + name + " needs a number");
    return v;
  }
  int Int(const std::string& name, int def) const { return int(Num(name, def)); }

 private:
  std::map<std::string, std::string> FValues;
};

TFilmTarget FilmTarget(const TOptions& o) {
  return TFilmTarget{o.Int("film-port", 28200), o.Str("password", "")};
}

// Whether the process has exited (gone, or a zombie its parent has not reaped yet).
bool Exited(pid_t pid) {
  FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (!f) return true;
  char buf[512] = {};
  std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  std::string text(buf, n);
  auto close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() || text[close + 2] == 'Z' ||
         text[close + 2] == 'X';
}

// Whether a fresh viewer still gets the greeting within five seconds.
bool ServerAnswers(int port) {
  try {
    int fd = ConnectBlocking(port);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    bool ok = RecvLine(fd) == Greeting(ViewProtocol);
    close(fd);
    return ok;
  } catch (const std::exception&) {
    return false;
  }
}

// CPU seconds the viewer processes have used so far.
double LoadCpu(const std::vector<std::pair<pid_t, int>>& children) {
  double seconds = 0;
  for (const auto& child : children) seconds += SampleProcess(child.first).cpuSeconds;
  return seconds;
}

TJson Millis(std::vector<std::int32_t>& us) {
  TJson j;
  j.Num("p50", Percentile(us, 0.50) / 1000)
      .Num("p99", Percentile(us, 0.99) / 1000)
      .Num("max", Percentile(us, 1.0) / 1000)
      .Int("samples", std::int64_t(us.size()));
  return j;
}

int ViewMode(const TOptions& o) {
  const int viewers = o.Int("viewers", 100);
  const pid_t pid = o.Int("pid", 0);
  const double window = o.Num("window", 30);
  const bool live = o.Has("live");
  const int procs = std::max(1, o.Int("procs", (viewers + 14999) / 15000));
  if (viewers < 1 || pid <= 0) throw std::runtime_error("view needs --viewers N and --pid PID");

  void* mem = mmap(nullptr, sizeof(TCoordination), PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) throw std::runtime_error("mmap failed");
  auto* coord = new (mem) TCoordination();

  TViewLoadOptions vo;
  vo.port = o.Int("view-port", 28100);
  vo.game = o.Str("game", "BENCH");
  vo.bufferBudget = o.Int("buffer", 7000);
  vo.normalBudget = o.Int("bandwidth", 7000);
  vo.connectRate = o.Num("rate", 2000) / procs;
  vo.maxPending = std::max(1, o.Int("pending", 256) / procs);
  vo.maxConnecting = std::max(1, o.Int("connecting", 16) / procs);
  vo.live = live;
  std::int64_t begin = NowNs();
  vo.rampDeadline = begin + std::int64_t(o.Num("ramp", 20 + viewers / 200.0) * 1e9);

  TProcSample before = SampleProcess(pid);
  std::unique_ptr<TLiveFilmer> filmer;
  if (live) {
    filmer =
        std::make_unique<TLiveFilmer>(FilmTarget(o), vo.game, o.Int("live", 2800), coord->live);
  }

  std::vector<std::pair<pid_t, int>> children;
  for (int p = 0; p < procs; ++p) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    TViewLoadOptions mine = vo;
    mine.first = viewers * p / procs;
    mine.count = viewers * (p + 1) / procs - mine.first;
    pid_t child = fork();
    if (child == 0) {
      close(fds[0]);
      RunViewers(mine, *coord).Write(fds[1]);
      _exit(0);
    }
    close(fds[1]);
    children.emplace_back(child, fds[0]);
  }

  while (coord->ready.load() < procs && NowNs() < vo.rampDeadline + 2000000000) usleep(20000);
  double rampSeconds = double(NowNs() - begin) / 1e9;
  if (filmer) filmer->Start();
  std::int64_t start = NowNs() + std::int64_t(o.Num("warmup", live ? 15 : 5) * 1e9);
  coord->windowEnd = start + std::int64_t(window * 1e9);
  coord->windowStart = start;
  SleepUntil(start);
  TProcSample first = SampleProcess(pid);
  double loadFirst = LoadCpu(children);
  SleepUntil(coord->windowEnd.load());
  TProcSample last = SampleProcess(pid);
  double loadLast = LoadCpu(children);
  // While every viewer still reads: what the kernel holds for the server's viewer sockets.
  const TSocketMemory sockets = SampleSocketMemory(vo.port);

  TJson shutdown;
  if (o.Has("sigterm")) {
    std::int64_t term = NowNs();
    coord->sigtermAt = term;
    kill(pid, SIGTERM);
    while (!Exited(pid) && NowNs() < term + 20000000000) usleep(10000);
    bool exited = Exited(pid);
    shutdown.Bool("exited_within_20s", exited)
        .Num("exit_seconds", exited ? double(NowNs() - term) / 1e9 : -1);
    usleep(500000);
  } else {
    usleep(1500000);  // cycles begun in the window finish
  }
  coord->stop = 1;

  TViewResults all;
  bool complete = true;
  for (auto& [child, fd] : children) {
    TViewResults one;
    complete = one.Read(fd) && complete;
    close(fd);
    waitpid(child, nullptr, 0);
    all.Merge(one);
  }
  std::string filmError = filmer ? filmer->Stop() : "";
  filmer.reset();
  bool answers = o.Has("sigterm") ? false : ServerAnswers(vo.port);

  const auto& c = all.counters;
  double mean = 0;
  for (auto r : all.ratesBps) mean += r;
  mean = all.ratesBps.empty() ? 0 : mean / double(all.ratesBps.size());
  std::int64_t held = std::max<std::int64_t>(1, c[cStreaming]);
  TJson cycles;
  cycles.Int("data_cycles", c[cDataCycles])
      .Int("short_cycles", c[cShortCycles])
      .Int("viewers_full_budget_every_cycle", c[cAlwaysFull]);
  TJson rate;
  rate.Num("mean", mean)
      .Num("min", Percentile(all.ratesBps, 0))
      .Num("p50", Percentile(all.ratesBps, 0.5));
  TJson server;
  server.Num("cpu_pct_one_core", (last.cpuSeconds - first.cpuSeconds) / window * 100)
      .Int("rss_before_kib", before.rssKiB)
      .Int("peak_rss_kib", last.peakRssKiB)
      .Num("peak_rss_per_viewer_kib", double(last.peakRssKiB) / double(held))
      .Num("rss_per_viewer_kib", double(last.rssKiB) / double(held))
      .Int("threads", first.threads)
      .Int("fds", first.fds)
      .Bool("sampled", first.ok && last.ok);
  const double perSocket = double(std::max(sockets.sockets, 1)) * 1024;
  TJson kernel;
  kernel.Int("sockets", sockets.sockets)
      .Num("total_kib", double(sockets.KernelBytes()) / 1024)
      .Num("per_viewer_kib", double(sockets.KernelBytes()) / perSocket)
      .Num("r_per_viewer_kib", double(sockets.receivedBytes) / perSocket)
      .Num("t_per_viewer_kib", double(sockets.allocBytes) / perSocket)
      .Num("f_per_viewer_kib", double(sockets.forwardBytes) / perSocket)
      .Num("w_per_viewer_kib", double(sockets.queuedBytes) / perSocket)
      .Num("o_bl_per_viewer_kib", double(sockets.optionBytes + sockets.backlogBytes) / perSocket)
      .Bool("sampled", sockets.ok);
  server.Obj("kernel_socket_memory", kernel);
  TJson out;
  out.Str("mode", live ? "live" : "view")
      .Int("viewers_requested", viewers)
      .Int("viewer_processes", procs)
      .Num("ramp_seconds", rampSeconds)
      .Num("window_seconds", window)
      .Int("not_started", viewers - c[cStarted])
      .Int("viewers_streaming", c[cStreaming])
      .Int("viewers_served", c[cServed])
      .Int("refused", c[cRefused])
      .Int("failed_handshake", c[cFailedHandshake])
      .Int("never_greeted", c[cNotGreeted])
      .Int("greeted_never_streamed", c[cNotStreaming])
      .Int("failed_while_streaming", c[cFailedStreaming])
      .Int("protocol_errors", c[cProtocolErrors])
      .Obj("rate_bytes_per_s", rate)
      .Obj("period_ms", Millis(all.periodsUs).Int("over_1100", c[cLateCycles]));
  // A live viewer gets what the filmer sent, not its whole budget: the budget check is for
  // finished games.
  if (!live) out.Obj("cycles", cycles);
  if (live) out.Obj("latency_ms", Millis(all.latenciesUs)).Str("filmer_error", filmError);
  out.Obj("server", server);
  // A load generator short of CPU would make the server look late.
  out.Num("load_generator_cpu_pct_one_core", (loadLast - loadFirst) / window * 100);
  if (o.Has("sigterm")) {
    shutdown.Int("closed_by_server", c[cClosedAfterTerm]).Int("last_close_ms", c[cLastCloseMs]);
    out.Obj("shutdown", shutdown);
  } else {
    out.Bool("server_answers_after", answers);
  }
  out.Bool("results_complete", complete);
  std::printf("%s\n", out.Text().c_str());
  return 0;
}

int Run(const std::string& mode, const TOptions& o) {
  if (mode == "view") return ViewMode(o);
  TJson out;
  if (mode == "lag") {
    TLagOptions lo;
    lo.port = o.Int("view-port", 28100);
    lo.game = o.Str("game", "BENCH");
    lo.streams = o.Int("streams", 2);
    lo.count = o.Int("viewers", 1000);
    lo.readBytesPerSecond = o.Int("read", 0);
    lo.connectRate = o.Num("rate", 500);
    lo.holdSeconds = o.Num("hold", 60);
    lo.sampleSeconds = o.Num("sample", 5);
    lo.guard = !o.Has("no-guard");
    out = RunLaggingViewers(lo);
  } else if (mode == "store") {
    std::int64_t start = NowNs();
    StoreGame(FilmTarget(o), o.Str("game", "BENCH"), o.Int("sections", 200), o.Int("streams", 2),
              o.Int("bytes", 70000), o.Int("block", 16384));
    out.Str("mode", "store").Num("seconds", double(NowNs() - start) / 1e9);
  } else if (mode == "film") {
    int sections = o.Int("sections", 16);
    std::int32_t bytes = o.Int("section-mb", 16) * 1000000;
    std::int32_t block = o.Int("block", 16384);
    std::string dir = o.Str("dir", ".");
    // Uploads and plain copies take turns, and the medians are compared, so that the load of
    // a shared machine weighs on both alike.
    std::vector<std::int32_t> films, plains;
    plains.push_back(std::int32_t(PlainCopy(dir, std::int64_t(sections) * bytes, block)));
    for (int round = 0; round < o.Int("rounds", 5); ++round) {
      films.push_back(std::int32_t(FilmThroughput(FilmTarget(o), "FILMRATE" + std::to_string(round),
                                                  sections, bytes, block)));
      plains.push_back(std::int32_t(PlainCopy(dir, std::int64_t(sections) * bytes, block)));
    }
    double film = Percentile(films, 0.5), plain = Percentile(plains, 0.5);
    out.Str("mode", "film")
        .Num("film_mb_per_s", film)
        .Num("plain_copy_mb_per_s", plain)
        .Num("film_vs_plain", film / plain)
        .Num("film_min", films.front())
        .Num("film_max", films.back())
        .Num("plain_min", plains.front())
        .Num("plain_max", plains.back())
        .Int("bytes_per_upload", std::int64_t(sections) * bytes)
        .Int("block", block);
  } else if (mode == "floor") {
    TFloorOptions fo;
    fo.port = o.Int("port", fo.port);
    fo.connections = o.Int("connections", fo.connections);
    fo.bytes = o.Int("bytes", fo.bytes);
    fo.warmupSeconds = o.Num("warmup", fo.warmupSeconds);
    fo.windowSeconds = o.Num("window", fo.windowSeconds);
    out = RunFloor(fo);
  } else if (mode == "setups") {
    // Both kinds of filmer, one after the other, each on a game of its own.
    const std::string game = o.Str("game", "SETUPS");
    const double seconds = o.Num("seconds", 5);
    const int most = o.Int("max", 100000);
    const double noDelay = SectionSetups(FilmTarget(o), game, seconds, most, false);
    const double nagle = SectionSetups(FilmTarget(o), game + "NAGLE", seconds, most, true);
    out.Str("mode", "setups")
        .Num("section_setups_per_s", noDelay)
        .Num("nagle_section_setups_per_s", nagle);
  } else {
    throw std::runtime_error("unknown mode " + mode);
  }
  std::printf("%s\n", out.Text().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: zarnel-bench store|view|lag|film|setups|floor [--option value]...\n");
    return 2;
  }
  try {
    return Run(argv[1], TOptions(argc, argv));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zarnel-bench: %s\n", e.what());
    return 1;
  }
}
