#include "net/IdTCPServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "net/IdException.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZARNEL_NET_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZARNEL_NET_SANITIZED 1
#endif

namespace {

// Small stacks keep thousands of sessions cheap; sanitizer builds need larger frames.
#ifdef ZARNEL_NET_SANITIZED
constexpr std::size_t ThreadStackSize = 1024 * 1024;
#else
constexpr std::size_t ThreadStackSize = 256 * 1024;
#endif

// Starts a thread with the modest stack; returns 0 or the error number.
int StartThread(void* (*body)(void*), void* arg, bool detached, pthread_t* id) {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return rc;
  rc = pthread_attr_setstacksize(&attr, ThreadStackSize);
  if (rc == 0 && detached) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t local;
  if (rc == 0) rc = pthread_create(id != nullptr ? id : &local, &attr, body, arg);
  pthread_attr_destroy(&attr);
  return rc;
}

// The kernel's own cap on the accept queue, so bursts of connects are not dropped.
int ListenBacklog() {
  int backlog = 0;
  std::ifstream("/proc/sys/net/core/somaxconn") >> backlog;
  return backlog > 0 ? backlog : SOMAXCONN;
}

// Notices a peer whose network vanished: probes after 60 s of silence, every 10 s, 6 times.
void EnableKeepAlive(int fd) {
  const int on = 1, idle = 60, interval = 10, count = 6;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

// Descriptors kept free for the log, stream files and info files of the running sessions.
int DescriptorReserve(int limit) {
  return std::min(256, limit / 4);
}

// Whether the process has already said it stopped accepting; one line per episode.
std::atomic<bool> DescriptorsShort{false};

using TPeerList = std::vector<std::shared_ptr<TIdPeerThread>>;

void RemoveFrom(TPeerList& list, const TIdPeerThread* peer) {
  list.erase(
      std::remove_if(list.begin(), list.end(),
                     [peer](const std::shared_ptr<TIdPeerThread>& p) { return p.get() == peer; }),
      list.end());
}

}  // namespace

// What the session threads share with their server; each thread holds it, so a thread that
// leaves after its server is gone still finds the lists.
struct TIdServerCore {
  explicit TIdServerCore(TIdTCPServer& owner) : Owner(owner) {}

  // Removes Peer from both lists and wakes anyone waiting for the sessions to end.
  void Forget(const TIdPeerThread* peer) {
    {
      std::lock_guard<std::mutex> lock(LiveLock);
      RemoveFrom(LiveThreads, peer);
    }
    std::lock_guard<std::mutex> lock(ThreadsLock);
    RemoveFrom(Threads, peer);
    ThreadsChanged.notify_all();
  }

  // Takes a login slot for Address; false when MaxLogins (above 0) are taken already.
  bool TakeLogin(const std::string& address, int maxLogins) {
    std::lock_guard<std::mutex> lock(LoginLock);
    int& count = Logins[address];
    if (maxLogins > 0 && count >= maxLogins) {
      if (count == 0) Logins.erase(address);
      return false;
    }
    ++count;
    return true;
  }
  void ReleaseLogin(const std::string& address) {
    std::lock_guard<std::mutex> lock(LoginLock);
    const auto it = Logins.find(address);
    if (it != Logins.end() && --it->second <= 0) Logins.erase(it);
  }

  TIdTCPServer& Owner;  // valid while the thread is in Threads
  std::mutex LoginLock;
  std::map<std::string, int> Logins;  // connections in their login phase per address; LoginLock
  std::mutex ThreadsLock;
  std::condition_variable ThreadsChanged;
  TPeerList Threads;  // guarded by ThreadsLock
  std::mutex LiveLock;
  TPeerList LiveThreads;  // guarded by LiveLock
};

TIdPeerThread::TIdPeerThread(std::shared_ptr<TIdServerCore> core, TSocket socket)
    : FCore(std::move(core)), FConnection(std::move(socket)) {}

TIdTCPConnection& TIdPeerThread::Connection() {
  return FConnection;
}
std::int32_t TIdPeerThread::ThreadId() const {
  return FThreadId.load();
}
bool TIdPeerThread::Terminated() const {
  return FTerminated.load();
}
TIdTCPServer& TIdPeerThread::Server() {
  return FCore->Owner;
}
std::shared_ptr<TIdPeerThread> TIdPeerThread::HandOver() {
  FHandedOver = true;
  return shared_from_this();
}
void TIdPeerThread::Finish() noexcept {
  try {
    FConnection.Disconnect();
  } catch (...) {
    // The socket is released whatever the close reports, and the session is over either way.
  }
  FCore->Forget(this);
}
bool TIdPeerThread::Stopped() const {
  return Terminated() || !FConnection.Connected();
}
bool TIdPeerThread::LoggingIn() const {
  return FLoggingIn;
}
void TIdPeerThread::LoginDone() {
  if (!FLoggingIn) return;
  FLoggingIn = false;
  FConnection.ClearDeadline();
  if (FCounted) FCore->ReleaseLogin(FConnection.PeerAddress());
  FCounted = false;
}
void TIdPeerThread::LimitIdle(int seconds) {
  if (FLoggingIn) return;
  if (seconds <= 0) {
    FConnection.ClearDeadline();
    return;
  }
  FConnection.SetDeadline(std::chrono::steady_clock::now() + std::chrono::seconds(seconds),
                          "Idle timeout");
}

TIdTCPServer::TIdTCPServer(std::uint16_t defaultPort)
    : FDefaultPort(defaultPort), FCore(std::make_shared<TIdServerCore>(*this)) {}

TIdTCPServer::~TIdTCPServer() {
  DeactivateAndWait();
}

void TIdTCPServer::DeactivateAndWait() noexcept {
  try {
    SetActive(false);
  } catch (...) {
    // The sessions that did not end in time are waited for below.
  }
  std::unique_lock<std::mutex> lock(FCore->ThreadsLock);
  FCore->ThreadsChanged.wait(lock, [this] { return FCore->Threads.empty(); });
}

void TIdTCPServer::SetActive(bool active) {
  std::lock_guard<std::mutex> lock(FActiveLock);
  if (active == FActive.load()) return;
  if (active)
    Activate();
  else
    Deactivate();
}

bool TIdTCPServer::Active() const {
  return FActive.load();
}
std::uint16_t TIdTCPServer::DefaultPort() const {
  return FDefaultPort;
}
std::uint16_t TIdTCPServer::BoundPort() const {
  return FBoundPort.load();
}

int TIdTCPServer::ThreadCount() const {
  std::lock_guard<std::mutex> lock(FCore->ThreadsLock);
  return static_cast<int>(FCore->Threads.size());
}

std::shared_ptr<TIdPeerThread> TIdTCPServer::Adopt(TSocket socket) {
  std::shared_ptr<TIdPeerThread> peer(new TIdPeerThread(FCore, std::move(socket)));
  peer->FThreadId = static_cast<std::int32_t>(syscall(SYS_gettid));
  std::lock_guard<std::mutex> lock(FCore->ThreadsLock);
  FCore->Threads.push_back(peer);
  return peer;
}

void TIdTCPServer::ServeOnThisThread(TIdPeerThread& peer) {
  peer.FThreadId = static_cast<std::int32_t>(syscall(SYS_gettid));
  ServeLogged(peer);
  peer.LoginDone();
  // A handed-over session goes on without this thread.
  if (!peer.FHandedOver.load()) peer.Finish();
}

void TIdTCPServer::Disown(const TIdPeerThread& peer) {
  FCore->Forget(&peer);
}

void TIdTCPServer::ForEachLiveThreadReverse(const std::function<void(TIdPeerThread&)>& fn) {
  std::lock_guard<std::mutex> lock(FCore->LiveLock);
  for (auto it = FCore->LiveThreads.rbegin(); it != FCore->LiveThreads.rend(); ++it) fn(**it);
}

bool TIdTCPServer::RunSession(TIdPeerThread& AThread) {
  if (!OnExecute) return false;
  OnExecute(AThread);
  return true;
}

namespace {

// A listening socket on every local address of Family; false when the system lacks Family.
// Raises EIdCouldNotBindSocket when the port is taken, EIdSocketError for other failures.
bool Listen(TSocket& socket, int family, std::uint16_t port, int backlog) {
  try {
    socket = TSocket::CreateTcp(family);
  } catch (const EIdSocketError& error) {
    if (family == AF_INET6 && error.LastError() == EAFNOSUPPORT) return false;
    throw;
  }
  const int one = 1, zero = 0;
  if (setsockopt(socket.Fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
    throw EIdSocketError(errno);
  sockaddr_storage storage{};
  socklen_t length = sizeof(sockaddr_in);
  if (family == AF_INET6) {
    // One socket for both families: IPv4 peers arrive as mapped addresses.
    if (setsockopt(socket.Fd(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero) != 0)
      throw EIdSocketError(errno);
    auto& addr = reinterpret_cast<sockaddr_in6&>(storage);
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_any;
    addr.sin6_port = htons(port);
    length = sizeof addr;
  } else {
    auto& addr = reinterpret_cast<sockaddr_in&>(storage);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
  }
  if (bind(socket.Fd(), reinterpret_cast<const sockaddr*>(&storage), length) != 0 ||
      listen(socket.Fd(), backlog) != 0) {
    const int error = errno;
    if (error == EADDRINUSE) throw EIdCouldNotBindSocket();
    // A system whose IPv6 is switched off has the family but no address of it.
    if (family == AF_INET6 && error == EADDRNOTAVAIL) return false;
    throw EIdSocketError(error);
  }
  return true;
}

}  // namespace

void TIdTCPServer::Activate() {
  TSocket socket;
  if (!Listen(socket, AF_INET6, FDefaultPort, ListenBacklog()))
    Listen(socket, AF_INET, FDefaultPort, ListenBacklog());
  FBoundPort = socket.LocalPort();
  FStopping = false;
  FListenSocket = std::move(socket);
  const int rc = StartThread(&TIdTCPServer::ListenThreadMain, this, false, &FListenThread);
  if (rc != 0) {
    FListenSocket.Reset();
    throw EIdSocketError(rc);
  }
  FActive = true;
}

void TIdTCPServer::Deactivate() {
  // Shutting the listening socket down wakes accept; it is closed only after the thread ended.
  FStopping = true;
  FListenSocket.Shutdown();
  pthread_join(FListenThread, nullptr);
  FListenSocket.Reset();
  FActive = false;

  std::unique_lock<std::mutex> lock(FCore->ThreadsLock);
  for (const auto& peer : FCore->Threads) {
    peer->FTerminated = true;
    peer->FConnection.DisconnectSocket();
  }
  const bool ended =
      FCore->ThreadsChanged.wait_for(lock, std::chrono::milliseconds(std::max(TerminateWait, 0)),
                                     [this] { return FCore->Threads.empty(); });
  if (!ended) throw EIdTerminateThreadTimeout();
}

void* TIdTCPServer::ListenThreadMain(void* server) {
  static_cast<TIdTCPServer*>(server)->ListenLoop();
  return nullptr;
}

void TIdTCPServer::ListenLoop() {
  const int listenFd = FListenSocket.Fd();
  for (;;) {
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (FStopping.load()) {
      TSocket late(fd);  // closed at once: deactivation is under way
      return;
    }
    if (fd >= 0) {
      const bool room = DescriptorsToSpare();
      TSocket socket(fd);
      // Past the reserve a connection is closed at once: left in the kernel's queue, its
      // client would wait without an answer for as long as the server stays full.
      if (!room) {
        if (Counters) Count(Counters->Refused);
        continue;
      }
      try {
        Accept(std::move(socket));
      } catch (const std::exception& e) {
        // Out of memory for one connection, say: it is dropped, the server goes on.
        LogLine(0, "Connection dropped: ", e.what());
      }
      continue;
    }
    const int error = errno;
    // Out of descriptors or memory: pause rather than spin on the waiting connection.
    if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The socket is no longer listening; nothing more can be accepted.
    if (error == EINVAL || error == EBADF || error == ENOTSOCK) return;
  }
}

bool TIdTCPServer::DescriptorsToSpare() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
  const int max = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 30));
  const int open = TSocket::OpenCount();
  const int reserve = DescriptorReserve(max);
  if (open < max - reserve) {
    DescriptorsShort = false;
    return true;
  }
  // Half the reserve still leaves the running sessions their files, and lets an operator in
  // to see what holds the rest.
  if (AlwaysReachable && open < max - reserve / 2) return true;
  if (!DescriptorsShort.exchange(true))
    LogLine(0, "Open file limit nearly reached: no new connections are accepted until some close");
  return false;
}

void TIdTCPServer::LogLine(std::int32_t id, const char* text, const char* detail) noexcept {
  if (!OnLog) return;
  try {
    OnLog(id, std::string(text) + detail);
  } catch (...) {
    // The log may be the very thing that cannot be opened; the server goes on without it.
  }
}

void TIdTCPServer::Accept(TSocket socket) {
  EnableKeepAlive(socket.Fd());
  std::shared_ptr<TIdPeerThread> peer(new TIdPeerThread(FCore, std::move(socket)));
  // Many connections from one address that never log in are refused like those over the limit.
  if (!FCore->TakeLogin(peer->FConnection.PeerAddress(), LoginLimit())) {
    if (Counters) Count(Counters->Refused);
    peer->FConnection.Disconnect();
    return;
  }
  peer->FCounted = true;
  {
    std::lock_guard<std::mutex> lock(FCore->LiveLock);
    FCore->LiveThreads.push_back(peer);
  }
  bool refused = false;
  const int limit = MaxConnections.load();
  if (limit > 0) {
    std::lock_guard<std::mutex> lock(FCore->ThreadsLock);
    refused = static_cast<int>(FCore->Threads.size()) >= limit;
  }
  bool started = false;
  if (!refused) {
    try {
      {
        std::lock_guard<std::mutex> lock(FCore->ThreadsLock);
        FCore->Threads.push_back(peer);
      }
      auto arg = std::make_unique<std::shared_ptr<TIdPeerThread>>(peer);
      started = StartThread(&TIdTCPServer::SessionThreadMain, arg.get(), true, nullptr) == 0;
      if (started) arg.release();  // the new thread owns it now
    } catch (const std::exception& e) {
      // Out of memory: treated like a thread that could not be started.
      LogLine(0, "Session not started: ", e.what());
    }
  }
  if (Counters && (started || refused)) Count(started ? Counters->Accepted : Counters->Refused);
  if (started) return;
  // Refused (or no thread could be had): the peer sees its connection closed without a byte.
  peer->LoginDone();
  peer->FConnection.Disconnect();
  FCore->Forget(peer.get());
}

int TIdTCPServer::LoginLimit() const {
  const int max = MaxConnections.load();
  if (!AlwaysReachable || max <= 0) return MaxLoginsPerAddress;
  const int half = (max + 1) / 2;  // rounded up: with 2 or more, another address keeps room
  return MaxLoginsPerAddress > 0 ? std::min(MaxLoginsPerAddress, half) : half;
}

void* TIdTCPServer::SessionThreadMain(void* arg) {
  std::shared_ptr<TIdPeerThread> peer;
  {
    auto* holder = static_cast<std::shared_ptr<TIdPeerThread>*>(arg);
    peer = std::move(*holder);
    delete holder;
  }
  // The lists outlive the server for as long as this thread needs them.
  const std::shared_ptr<TIdServerCore> core = peer->FCore;
  core->Owner.ServeOnThisThread(*peer);
  return nullptr;
}

void TIdTCPServer::Serve(TIdPeerThread& peer) {
  TIdTCPConnection& connection = peer.FConnection;
  if (LoginTimeout > 0)
    connection.SetDeadline(std::chrono::steady_clock::now() + std::chrono::seconds(LoginTimeout),
                           "Login timeout");
  while (connection.Connected() && !peer.FHandedOver.load()) {
    // The peer's going ends the loop here; any other error ends the session, and ServeLogged
    // logs it.
    try {
      if (!RunSession(peer)) throw EIdNoExecuteHandlerFound();
    } catch (const EIdSocketError& e) {
      if (e.LastError() == ECONNABORTED || e.LastError() == ECONNRESET) connection.Disconnect();
    } catch (const EIdConnClosedGracefully&) {
      // The peer or the server closed the connection: the loop test ends the session.
    } catch (const EIdNotConnected&) {
    }
  }
}

void TIdTCPServer::ServeLogged(TIdPeerThread& peer) noexcept {
  try {
    Serve(peer);
  } catch (const std::exception& e) {
    LogLine(peer.ThreadId(), "Session Exception:- ", e.what());
  } catch (...) {
    LogLine(peer.ThreadId(), "Session Exception:- ", "Unknown error");
  }
}
