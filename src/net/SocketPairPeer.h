// A session on one end of a socketpair(2), the other end left to the caller as the client:
// drives a service's session handler with no listening server and no port. Made for tests
// and fuzzers; it needs nothing beyond this library.
#pragma once

#include <memory>

#include "net/IdTCPServer.h"
#include "net/Socket.h"

class TSocketPairPeer {
 public:
  // Creates the pair; raises EIdSocketError when the system has none to give.
  TSocketPairPeer();
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
  // Sets the session's Terminated flag, as a server's deactivation does.
  void Terminate();

 private:
  TIdTCPServer FServer{0};  // never activated; the session's owner as far as it asks
  TSocket FClient;
  std::shared_ptr<TIdPeerThread> FThread;
};
