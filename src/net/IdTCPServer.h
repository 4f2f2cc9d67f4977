// Listening TCP server: one listening thread per binding, one session thread per connection.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "common/Metrics.h"
#include "net/IdTCPConnection.h"

class TIdTCPServer;
struct TIdServerCore;

// The thread that runs one accepted connection. Its session may be handed over to another
// owner, which then drives the connection; the session still counts as running until that
// owner calls Finish.
class TIdPeerThread : public std::enable_shared_from_this<TIdPeerThread> {
 public:
  // The accepted connection, owned by this thread for the length of the session.
  TIdTCPConnection& Connection();
  // The operating system's thread id (gettid), as services print it in their log lines.
  std::int32_t ThreadId() const;
  // True once deactivation has asked the session to stop.
  bool Terminated() const;
  // True once the session has nothing left to do: terminated, or its connection closed.
  bool Stopped() const;
  // The server that accepted the connection.
  TIdTCPServer& Server();
  // Called by the session handler: once it returns, its thread ends without closing the
  // connection, and the session stays in the server's lists until Finish. The result keeps
  // the session alive for its new owner.
  std::shared_ptr<TIdPeerThread> HandOver();
  // Ends a handed-over session: closes the connection and leaves the server's lists.
  void Finish() noexcept;
  // True until the service calls LoginDone: the connection is in its login phase, bound by
  // the server's LoginTimeout and counted against MaxLoginsPerAddress.
  bool LoggingIn() const;
  // Ends the login phase; later calls do nothing.
  void LoginDone();
  // After the login phase: the next reads wait at most Seconds (0 or less: no limit) and then
  // raise EIdSessionTimeout("Idle timeout"). During the login phase its deadline holds.
  void LimitIdle(int seconds);

 private:
  friend class TIdTCPServer;
  TIdPeerThread(std::shared_ptr<TIdServerCore> core, TSocket socket);

  // Shared with the server, so the lists stay valid for a thread that outlives it.
  const std::shared_ptr<TIdServerCore> FCore;
  TIdTCPConnection FConnection;
  std::atomic<std::int32_t> FThreadId{0};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FHandedOver{false};
  bool FCounted = false;   // holds a login slot of its address; set at accept, then own thread
  bool FLoggingIn = true;  // own thread only
};

class TIdTCPServer {
 public:
  static constexpr int TerminateWaitTime = 5000;

  // Port 0 binds an ephemeral port (tests); BoundPort tells which.
  explicit TIdTCPServer(std::uint16_t defaultPort);
  // Deactivates (errors swallowed) if still active, then waits for every session thread to
  // leave, without a limit: a handler must end once its connection is closed.
  virtual ~TIdTCPServer();
  TIdTCPServer(const TIdTCPServer&) = delete;
  TIdTCPServer& operator=(const TIdTCPServer&) = delete;

  // Activates (bind all local addresses, listen, start the listening thread) or deactivates
  // (stop listening, DisconnectSocket every session, wait up to TerminateWaitTime for them).
  void SetActive(bool active);
  bool Active() const;
  std::uint16_t DefaultPort() const;
  // The port actually listened on while active (the last one after deactivation).
  std::uint16_t BoundPort() const;

  // Seconds a connection may take from accept to LoginDone; 0 or less: no limit.
  int LoginTimeout = 0;
  // Connections from one address that may be in their login phase at once; 0 or less: any.
  int MaxLoginsPerAddress = 0;
  // For the port an operator must always reach (admin). One address may hold at most half of
  // MaxConnections, rounded up, in its login phase (or MaxLoginsPerAddress, if lower), so a
  // guessing loop cannot lock everyone else out; and new connections may use half of the
  // descriptor reserve that the other ports leave alone. Set before activation.
  bool AlwaysReachable = false;
  // Writes a log line (thread id, message); unassigned, nothing is logged.
  std::function<void(std::int32_t, const std::string&)> OnLog;
  // Upper bound on running sessions; 0 or negative means no bound. May change while active
  // (a settings reload): sessions already running are kept.
  std::atomic<int> MaxConnections{0};
  // Where accepted and refused connections are counted; none when null. Set before activation.
  TPortCounters* Counters = nullptr;
  // Milliseconds deactivation waits for sessions; TerminateWaitTime unless a test shortens it.
  int TerminateWait = TerminateWaitTime;
  // The session handler; called again while the connection stays open after it returns.
  std::function<void(TIdPeerThread&)> OnExecute;

  // Number of running sessions (the Threads list), taken under its lock.
  int ThreadCount() const;
  // Calls Fn on every live session thread, last to first, under the LiveThreads lock.
  void ForEachLiveThreadReverse(const std::function<void(TIdPeerThread&)>& fn);

  // Sessions on sockets connected by other means (a socket pair), with no listener: tests and
  // fuzzers drive a service's handler through these on a thread of their own.
  // Lists a session on Socket as running, as an accept does, under the calling thread's id.
  std::shared_ptr<TIdPeerThread> Adopt(TSocket socket);
  // Runs Peer's session on the calling thread as a session thread does: the handler again while
  // the connection stays open, then Finish unless the handler handed the session over.
  void ServeOnThisThread(TIdPeerThread& peer);
  // Stops listing an adopted session that never ended, so that destruction does not wait for it.
  void Disown(const TIdPeerThread& peer);

 protected:
  // Runs one dispatch for AThread; returns false when there is nothing to run.
  virtual bool RunSession(TIdPeerThread& AThread);
  // Deactivates (errors swallowed) and waits for every session thread to leave. A subclass
  // that replaces RunSession calls it in its own destructor, while its members still exist.
  void DeactivateAndWait() noexcept;

 private:
  void Activate();
  void Deactivate();
  // The listening thread: accepts until deactivation shuts the listening socket down.
  void ListenLoop();
  // False while so few descriptors are left that a new session could starve the log, stream
  // and info files of the ones running; says so once in the log when that begins.
  bool DescriptorsToSpare();
  // Connections one address may have in their login phase now; 0 or less: any.
  int LoginLimit() const;
  // Hands an accepted socket to a new session thread, or refuses it over MaxConnections.
  void Accept(TSocket socket);
  // The session thread's dispatch loop; an error other than the peer's close ends it.
  void Serve(TIdPeerThread& peer);
  // Serve, with the error that ended the session logged: handlers that catch their own errors
  // (every service does) leave nothing for it, but no session ends without a word.
  void ServeLogged(TIdPeerThread& peer) noexcept;
  // Writes Text and Detail as one log line through OnLog, if assigned; a failing log is dropped.
  void LogLine(std::int32_t id, const char* text, const char* detail = "") noexcept;
  static void* ListenThreadMain(void* server);
  static void* SessionThreadMain(void* peer);

  const std::uint16_t FDefaultPort;
  const std::shared_ptr<TIdServerCore> FCore;
  std::mutex FActiveLock;  // serialises activation and deactivation
  std::atomic<bool> FActive{false};
  std::atomic<bool> FStopping{false};
  std::atomic<std::uint16_t> FBoundPort{0};
  // guarded by FActiveLock; the listening thread reads its descriptor while it runs
  TSocket FListenSocket;
  pthread_t FListenThread{};  // guarded by FActiveLock
};
