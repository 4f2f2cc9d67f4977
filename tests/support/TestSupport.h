// Helpers shared by the tests: temporary folders, files, and the server binary as a child.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace test {

// A fresh directory under TMPDIR, removed with everything in it on destruction.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  // The directory with a trailing "/".
  const std::string& Path() const { return FPath; }
  std::string operator/(const std::string& name) const { return FPath + name; }

 private:
  std::string FPath;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
// Names of a directory's entries, sorted, "." and ".." left out.
std::vector<std::string> ListDir(const std::string& dir);
// Lines of a text, split at LF.
std::vector<std::string> SplitLines(const std::string& text);
// The message part of each log line (after "] ").
std::vector<std::string> LogMessages(const std::string& logPath);
// Polls Pred every 10 ms until it holds or Timeout passes; returns whether it held.
template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A client socket for raw bytes: connect, send, receive until close or count.
class TRawClient {
 public:
  // Connects to 127.0.0.1:Port, from the loopback address From when given, or to [::1]:Port
  // when From is "::1"; raises std::runtime_error on failure.
  explicit TRawClient(std::uint16_t port, const char* from = nullptr);
  // Takes over an already connected descriptor (e.g. TSocketPairPeer::ReleaseClient).
  struct TAdopt {
    int Fd;
  };
  explicit TRawClient(TAdopt adopt) : FFd(adopt.Fd) {}
  ~TRawClient();
  TRawClient(const TRawClient&) = delete;
  TRawClient& operator=(const TRawClient&) = delete;
  void Send(const std::string& bytes);
  void SendInt(std::int32_t value);
  // Reads exactly Count bytes; raises when the peer closes first or 10 s pass.
  std::string Receive(std::size_t count);
  // Reads one line (up to LF, CR LF stripped); raises on close or time-out.
  std::string ReceiveLine();
  std::int32_t ReceiveInt();
  // True when the peer closed (reads 0 bytes) within Timeout; leftover data counts as not closed.
  bool ClosedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void Close();
  // The port this end of the connection is bound to.
  std::uint16_t LocalPort() const;

 private:
  int FFd = -1;
  std::string FPending;
};

// The server binary run as a child process in a working directory.
class TServerProcess {
 public:
  // Starts Binary with Dir as its working directory; stdout and stderr are captured.
  TServerProcess(const std::string& binary, const std::string& dir);
  // Kills the child if it is still running.
  ~TServerProcess();
  TServerProcess(const TServerProcess&) = delete;
  TServerProcess& operator=(const TServerProcess&) = delete;
  // Waits until standard output holds Line as a whole line; false on time-out or exit.
  bool WaitForLine(const std::string& line,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void Signal(int sig);
  // Waits for the exit and returns the raw wait status; -1 on time-out.
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Everything the child has written to standard output / standard error so far.
  std::string Stdout();
  std::string Stderr();
  pid_t Pid() const { return FPid; }

 private:
  void Pump(int waitMs);
  pid_t FPid = -1;
  int FOut = -1;
  int FErr = -1;
  std::string FOutText;
  std::string FErrText;
  bool FExited = false;
  int FStatus = 0;
};

// True when nothing accepts connections on 127.0.0.1:Port.
bool PortClosed(std::uint16_t port);
// Bytes sent over the loopback connection from port From to port To that the receiving program
// has not read yet (unacknowledged at the sender or queued at the receiver); -1 when no such
// connection exists. Zero tells that the receiver holds all that was sent.
long UnreadBytes(std::uint16_t from, std::uint16_t to);

// The calling thread's id, as Asleep takes it.
pid_t ThisThread();
// True when thread Tid of this process is asleep in the kernel (a blocking read, lock wait or
// sleep): how a test knows another thread has got to where it blocks.
bool Asleep(pid_t tid);

}  // namespace test

#include <thread>

template <class Pred>
bool test::WaitFor(Pred pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

namespace test {

// A tmpfs of a few MB, mounted in a mount namespace private to this test process, so a full
// disk is real and nothing of it is seen outside. The first use moves the process into its
// own namespace, so it must come before the test starts any thread. Needs root; Available()
// says whether it worked (with Reason() otherwise).
class TPrivateTmpfs {
 public:
  explicit TPrivateTmpfs(std::size_t bytes);
  ~TPrivateTmpfs();
  TPrivateTmpfs(const TPrivateTmpfs&) = delete;
  TPrivateTmpfs& operator=(const TPrivateTmpfs&) = delete;
  bool Available() const { return FMounted; }
  const std::string& Reason() const { return FReason; }
  // The mount point with a trailing "/".
  const std::string& Path() const { return FDir.Path(); }
  std::string operator/(const std::string& name) const { return FDir / name; }
  // Writes a filler file until the file system is full; Free() removes it again.
  void Fill();
  void Free();

 private:
  TTempDir FDir;
  bool FMounted = false;
  std::string FReason;
};

}  // namespace test
