#include "SessionHarness.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>

#include "net/SocketPairPeer.h"

namespace fuzz {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "session harness: %s\n", what.c_str());
  std::abort();
}

std::set<std::string> Entries(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) names.insert(entry.path().filename());
  return names;
}

// Reads what the session has sent so far without waiting; 0 once it has closed its end.
ssize_t Drain(int fd) {
  char buffer[65536];
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
  }
  return n;
}

}  // namespace

void WriteFile(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size())
    Fail("cannot write " + path);
  std::fclose(f);
}

TSessionHarness::TSessionHarness(std::function<void(const std::string& base)> seed)
    : FSeed(std::move(seed)) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zarnel-fuzz.XXXXXX";
  if (!mkdtemp(pattern.data())) Fail("mkdtemp");
  FTop = pattern + "/";
  FBase = FTop + "a/b/";
  Reseed();
}

TSessionHarness::~TSessionHarness() {
  std::error_code ec;
  fs::remove_all(FTop, ec);
}

void TSessionHarness::Reseed() {
  std::error_code ec;
  fs::remove_all(FBase + "Streams", ec);
  fs::create_directories(FBase + "Streams");
  FSeed(FBase);
}

void TSessionHarness::Run(const THandler& handler, const std::uint8_t* data, std::size_t size) {
  TSocketPairPeer peer;
  FSessions.Post([&] { peer.Serve(handler); });
  const int fd = peer.ClientFd();
  if (size == 0) shutdown(fd, SHUT_WR);
  // Replies are drained so the session never blocks on a full socket; one that keeps the
  // connection open (a viewer's keep-alives) is cut off a short while after the last input.
  using Clock = std::chrono::steady_clock;
  auto until = Clock::now() + std::chrono::milliseconds(300);
  std::size_t at = 0;
  const auto pump = [&] {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      pollfd p{fd, static_cast<short>(POLLIN | (at < size ? POLLOUT : 0)), 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return;
      if ((p.revents & (POLLIN | POLLHUP | POLLERR)) && Drain(fd) == 0) return;
      if (at < size && (p.revents & POLLOUT)) {
        const ssize_t n = send(fd, data + at, size - at, MSG_NOSIGNAL | MSG_DONTWAIT);
        // The session closed early: the rest is not needed.
        at = n < 0 ? size : at + static_cast<std::size_t>(n);
        if (at == size) shutdown(fd, SHUT_WR);
        until = Clock::now() + std::chrono::milliseconds(300);
        // Most sessions end on their own once all input is in: wait for that rather than
        // wake for every reply, which costs more than the session itself.
        if (at == size) return;
      }
    }
  };
  pump();
  if (at == size) {
    while (!FSessions.WaitFor(std::chrono::milliseconds(2)) && Clock::now() < until)
      if (Drain(fd) == 0) break;
    // Handed over, or cut off: what is left runs as before.
    if (!peer.Finished()) pump();
  }
  peer.CloseClient();
  FSessions.Wait();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!peer.Finished()) {
    if (std::chrono::steady_clock::now() > deadline) Fail("a session did not end");
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  CheckOutside();
  // The log and the store would grow without bound over millions of inputs.
  truncate((FBase + "zarnel.log").c_str(), 0);
  if (++FRuns % 256 == 0 || Entries(FBase + "Streams").size() > 64) Reseed();
}

void TSessionHarness::CheckOutside() const {
  if (Entries(FTop) != std::set<std::string>{"a"}) Fail("wrote beside a/");
  if (Entries(FTop + "a") != std::set<std::string>{"b"}) Fail("wrote beside a/b/");
  for (const auto& name : Entries(FBase))
    if (name != "Streams" && name != "zarnel.log" && name != "users.txt")
      Fail("wrote " + name + " outside the store");
}

}  // namespace fuzz
