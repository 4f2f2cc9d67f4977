// A server on an ephemeral port whose handler records what it raised, for the net tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "net/IdTCPServer.h"
#include "support/TestSupport.h"

// Texts recorded by session threads, waited on by the test thread.
class TEvents {
 public:
  void Add(const std::string& text) {
    std::lock_guard<std::mutex> lock(FLock);
    FItems.push_back(text);
  }
  bool Has(const std::string& text) const {
    std::lock_guard<std::mutex> lock(FLock);
    return std::find(FItems.begin(), FItems.end(), text) != FItems.end();
  }
  bool WaitFor(const std::string& text) const {
    return test::WaitFor([&] { return Has(text); });
  }

 private:
  mutable std::mutex FLock;
  std::vector<std::string> FItems;  // guarded by FLock
};

class NetServerTest : public ::testing::Test {
 protected:
  // Activates the server with Body as its handler; the message of whatever Body raises is
  // recorded and the handler returns (so the server runs it again while connected).
  void Start(std::function<void(TIdPeerThread&)> body, int maxConnections = 0) {
    FServer.MaxConnections = maxConnections;
    FServer.OnExecute = [this, body](TIdPeerThread& thread) {
      try {
        body(thread);
      } catch (const std::exception& e) {
        FEvents.Add(e.what());
      }
    };
    FServer.SetActive(true);
  }
  // A handler that answers every line L with "<L>" until the connection fails.
  static void Echo(TIdPeerThread& thread) {
    TIdTCPConnection& c = thread.Connection();
    for (;;) c.WriteLn("<" + c.ReadLn() + ">");
  }
  std::uint16_t Port() const { return FServer.BoundPort(); }

  TEvents FEvents;  // declared first: outlives the server's session threads
  TIdTCPServer FServer{0};
};
