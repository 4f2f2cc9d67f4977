#include "net/SocketPairPeer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

TEST(SocketPairPeerTest, ServeDispatchesUntilTheCloseAndAHandedOverSessionEndsAtFinish) {
  {
    TSocketPairPeer peer;
    test::TRawClient client{test::TRawClient::TAdopt{peer.ReleaseClient()}};
    client.Send("a\nb\n");
    client.Close();
    // Called again while the connection stays open, as a server's session thread does.
    std::vector<std::string> lines;
    peer.Serve([&](TIdPeerThread& t) { lines.push_back(t.Connection().ReadLn()); });
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(peer.Finished());
  }
  std::shared_ptr<TIdPeerThread> held;
  {
    TSocketPairPeer peer;
    test::TRawClient client{test::TRawClient::TAdopt{peer.ReleaseClient()}};
    peer.Serve([&](TIdPeerThread& t) { held = t.HandOver(); });
    // The new owner drives it now: still open, and running as far as the peer can tell.
    EXPECT_FALSE(peer.Finished());
    client.Send("x\n");
    EXPECT_EQ(held->Connection().ReadLn(), "x");
    held->Finish();
    EXPECT_TRUE(peer.Finished());
    EXPECT_TRUE(client.ClosedByPeer());
    // A peer whose handed-over session was never finished still goes without waiting.
    TSocketPairPeer other;
    other.Serve([&](TIdPeerThread& t) { held = t.HandOver(); });
    EXPECT_FALSE(other.Finished());
  }
  held->Finish();
}

}  // namespace
