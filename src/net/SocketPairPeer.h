// A session on one end of a socketpair(2), the other end left to the caller as the client:
// drives a service's session handler with no listening server and no port. Made for tests
// and fuzzers; it needs nothing beyond this library.
#pragma once

#include <functional>
#include <memory>

#include "net/IdTCPServer.h"
#include "net/Socket.h"

class TSocketPairPeer {
 public:
  // Creates the pair; raises EIdSocketError when the system has none to give.
  TSocketPairPeer();
  // Leaves a session still running (handed over) to its owner.
  ~TSocketPairPeer();
  TSocketPairPeer(const TSocketPairPeer&) = delete;
  TSocketPairPeer& operator=(const TSocketPairPeer&) = delete;

  // The session side, to hand to a handler (Execute) on any thread; its peer address is "".
  TIdPeerThread& Thread();
  // The client side's descriptor for raw reads and writes; -1 once CloseClient ran.
  int ClientFd() const;
  // Closes the client side, as a client that goes away.
  void CloseClient();
  // Hands the client side's descriptor over; the caller closes it.
  int ReleaseClient();
  // Runs Handler as a server's session thread does: again while the connection stays open,
  // then ends the session unless Handler handed it over.
  void Serve(std::function<void(TIdPeerThread&)> handler);
  // True once the session has ended: by Serve, or by Finish from the owner it was handed to.
  bool Finished() const;

 private:
  TIdTCPServer FServer{0};  // never activated; the session's owner as far as it asks
  TSocket FClient;
  std::shared_ptr<TIdPeerThread> FThread;
};
