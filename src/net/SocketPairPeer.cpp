#include "net/SocketPairPeer.h"

#include <sys/socket.h>

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
  // Listed like an accepted session, so that Finish marks the end the same way.
  FThread = FServer.Adopt(std::move(server));
}

TSocketPairPeer::~TSocketPairPeer() {
  // The server never ran, so its destructor must not wait for this session.
  FServer.Disown(*FThread);
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

void TSocketPairPeer::Serve(std::function<void(TIdPeerThread&)> handler) {
  FServer.OnExecute = std::move(handler);
  FServer.ServeOnThisThread(*FThread);
}

bool TSocketPairPeer::Finished() const {
  return FServer.ThreadCount() == 0;
}
