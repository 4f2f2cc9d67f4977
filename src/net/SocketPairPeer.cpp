#include "net/SocketPairPeer.h"

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "net/IdException.h"

namespace {

// Both ends of a new stream socketpair; raises EIdSocketError.
std::pair<TSocket, TSocket> MakePair() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw EIdSocketError(errno);
  return {TSocket(fds[0]), TSocket(fds[1])};
}

}  // namespace

TSocketPairPeer::TSocketPairPeer() {
  auto [server, client] = MakePair();
  FClient = std::move(client);
  FThread.reset(new TIdPeerThread(FServer.FCore, std::move(server)));
  FThread->FThreadId = static_cast<std::int32_t>(syscall(SYS_gettid));
  // Listed like an accepted session, so that Finish marks the end the same way.
  FServer.Track(FThread);
}

TSocketPairPeer::~TSocketPairPeer() {
  // The server never ran, so its destructor must not wait for this session.
  FServer.Untrack(*FThread);
}

TIdPeerThread& TSocketPairPeer::Thread() {
  return *FThread;
}

int TSocketPairPeer::ClientFd() const {
  return FClient.Fd();
}

void TSocketPairPeer::CloseClient() {
  FClient.Reset();
}

int TSocketPairPeer::ReleaseClient() {
  return FClient.Release();
}

void TSocketPairPeer::Terminate() {
  FThread->FTerminated = true;
}

void TSocketPairPeer::Serve(std::function<void(TIdPeerThread&)> handler) {
  FServer.OnExecute = std::move(handler);
  FServer.ServeLogged(*FThread);
  FThread->LoginDone();
  if (!FThread->FHandedOver.load()) FThread->Finish();
}

bool TSocketPairPeer::Finished() const {
  return FServer.ThreadCount() == 0;
}
