#include "SessionHarness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>

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

}  // namespace

void WriteFile(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size())
    Fail("cannot write " + path);
  std::fclose(f);
}

TSessionHarness::TSessionHarness(TIdTCPServer& server,
                                 std::function<void(const std::string& base)> seed)
    : FServer(server), FSeed(std::move(seed)) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zarnel-fuzz.XXXXXX";
  if (!mkdtemp(pattern.data())) Fail("mkdtemp");
  FTop = pattern + "/";
  FBase = FTop + "a/b/";
  Reseed();
  FServer.SetActive(true);
}

TSessionHarness::~TSessionHarness() {
  FServer.SetActive(false);
  std::error_code ec;
  fs::remove_all(FTop, ec);
}

void TSessionHarness::Reseed() {
  std::error_code ec;
  fs::remove_all(FBase + "Streams", ec);
  fs::create_directories(FBase + "Streams");
  FSeed(FBase);
}

void TSessionHarness::Run(const std::uint8_t* data, std::size_t size) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(FServer.BoundPort());
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    Fail("cannot connect");
  for (std::size_t at = 0; at < size;) {
    const ssize_t n = send(fd, data + at, size - at, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server closed early: the rest is not needed
    at += static_cast<std::size_t>(n);
  }
  shutdown(fd, SHUT_WR);
  // Replies are drained so the server never blocks on a full socket; a session that keeps
  // the connection open (a viewer's keep-alives) is cut off after a short while.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  char buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    if (recv(fd, buffer, sizeof buffer, 0) <= 0) break;
  }
  close(fd);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (FServer.ThreadCount() > 0) {
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
