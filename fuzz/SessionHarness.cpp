#include "SessionHarness.h"

#include <sys/inotify.h>
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

// What the watch reports: names made in, or moved into, the checked folders and the store.
constexpr std::uint32_t Made = IN_CREATE | IN_MOVED_TO;

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

// Lets Fd queue far more than an input (at most -max_len) or its replies: past the system's
// limit where the process may (root), within it otherwise.
void Widen(int fd) {
  const int bytes = 64 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0)
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
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
  fs::create_directories(FBase);
  FWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (FWatch < 0) Fail("inotify_init1");
  for (const auto& dir : {FTop, FTop + "a", FBase})
    if (inotify_add_watch(FWatch, dir.c_str(), Made) < 0) Fail("inotify_add_watch " + dir);
  Reseed();
}

TSessionHarness::~TSessionHarness() {
  close(FWatch);
  std::error_code ec;
  fs::remove_all(FTop, ec);
}

void TSessionHarness::Reseed() {
  std::error_code ec;
  fs::remove_all(FBase + "Streams", ec);
  fs::create_directories(FBase + "Streams");
  FStoreWatch = inotify_add_watch(FWatch, (FBase + "Streams").c_str(), Made);
  if (FStoreWatch < 0) Fail("inotify_add_watch Streams");
  FStoreMade = 0;
  FSeed(FBase);
}

bool TSessionHarness::MadeOutside() {
  bool outside = false;
  alignas(inotify_event) char buffer[4096];
  ssize_t n;
  while ((n = read(FWatch, buffer, sizeof buffer)) > 0) {
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_IGNORED) continue;  // the watch of a store removed by Reseed
      if (event->wd == FStoreWatch && !(event->mask & IN_Q_OVERFLOW))
        ++FStoreMade;
      else
        outside = true;  // an overflow could hide anything: checked as if outside
    }
  }
  return outside;
}

void TSessionHarness::Run(const THandler& handler, const std::uint8_t* data, std::size_t size) {
  TSocketPairPeer peer;
  const int client = peer.ClientFd();
  const int session = peer.Thread().Connection().SocketFd();
  // The whole input and every reply wait in the pair's buffers, so that the handler runs on
  // this thread to its end with no second party: no thread hand-off and no waiting per input.
  Widen(client);
  Widen(session);
  // A reply too big for the buffer ends the session as a client that stopped reading would.
  peer.Thread().Connection().WriteTimeout = 1000;
  // An input past the buffer (far beyond any -max_len in use) is cut where it ends.
  if (size > 0) send(client, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  shutdown(client, SHUT_WR);
  peer.Serve(handler);
  // Closing drops the replies unread; a session handed over to another thread (a streaming
  // viewer) sees the close and ends there.
  peer.CloseClient();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!peer.Finished()) {
    if (std::chrono::steady_clock::now() > deadline) Fail("a session did not end");
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  // Only a name made in a checked folder can fail the check: the folders are listed only then.
  if (MadeOutside()) CheckOutside();
  // The store would grow without bound over millions of inputs.
  if (++FRuns % 256 == 0 || FStoreMade > 64) Reseed();
}

void TSessionHarness::CheckOutside() const {
  if (Entries(FTop) != std::set<std::string>{"a"}) Fail("wrote beside a/");
  if (Entries(FTop + "a") != std::set<std::string>{"b"}) Fail("wrote beside a/b/");
  for (const auto& name : Entries(FBase))
    if (name != "Streams" && name != "users.txt") Fail("wrote " + name + " outside the store");
}

}  // namespace fuzz
