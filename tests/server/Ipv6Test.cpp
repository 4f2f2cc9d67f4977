// Every port over IPv6 loopback, beside IPv4: a filmer, a viewer, an administrator and a relay
// link on ::1, each logged with its address in its usual form.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "relay/RelayAllowList.h"
#include "server/UnitDatamoduleMain.h"
#include "support/TestSupport.h"

namespace {

using ::testing::Contains;

// A whole server on free ports in a folder of its own.
struct TServer {
  explicit TServer(const std::string& settings) {
    test::WriteFile(Dir / "zarnel.ini", "[settings]\nMinFreeMB=0\n" + settings);
    TServerPlace place;
    place.BaseDir = Dir.Path();
    place.Film = place.View = place.Relay = place.Admin = place.Status = 0;
    Server = std::make_unique<TDataModuleMain>(place);
    Server->StartServer();
  }
  ~TServer() { Server->DataModuleDestroy(); }
  std::vector<std::string> Log() const { return test::LogMessages(Dir / "zarnel.log"); }
  test::TTempDir Dir;
  std::unique_ptr<TDataModuleMain> Server;
};

TEST(Ipv6Test, EveryPortServesIpv6PeersAndLogsThemPlainly) {
  TServer upstream("AllowRelays=1\nRelayAllowFrom=::1\nStatusAddress=::1\n");
  TServer downstream("StatusAddress=::\n");
  auto& a = *upstream.Server;
  {
    test::TRawClient filmer(a.idTCPServerFilmer.BoundPort(), "::1");
    filmer.ReceiveLine();
    filmer.Send("f\t2016\r\nAUTH\t\tNEW\tSIX\r\nTRANSMIT\t1\t0\r\n");
    ASSERT_EQ(filmer.ReceiveLine(), "OK");
    ASSERT_EQ(filmer.ReceiveLine(), "OK");
    for (std::int32_t value : {0, 1100, 1032}) filmer.SendInt(value);
    filmer.ReceiveInt();
    filmer.Send("BLOCK\r\n");
    for (std::int32_t value : {0, 0, 1100}) filmer.SendInt(value);
    filmer.Send(std::string(1100, 'x'));
    filmer.Send("BLOCK\r\n");
    for (std::int32_t value : {0, 1}) filmer.SendInt(value);
    filmer.Send("COMPLETED\r\n");
    EXPECT_TRUE(filmer.ClosedByPeer());
  }
  // The relay link to an IPv6 literal in brackets, let in by an IPv6 entry.
  downstream.Server->FollowRelay("[::1]:" + std::to_string(a.idTCPServerRelay.BoundPort()));
  ASSERT_TRUE(test::WaitFor([&] { return downstream.Server->Store().ReadCompleteAll("SIX"); },
                            std::chrono::seconds(60)));
  EXPECT_THAT(upstream.Log(), Contains("Relay authorized ::1"));

  test::TRawClient viewer(downstream.Server->idTCPServerViewer.BoundPort(), "::1");
  viewer.ReceiveLine();
  viewer.Send("v\t1016\r\nREQUEST\tSIX\t0\t0\r\n");
  viewer.ReceiveLine();
  viewer.ReceiveLine();
  std::int32_t streams = 0;
  while ((streams = viewer.ReceiveInt()) == 0) {
  }
  EXPECT_EQ(streams, 1);

  test::TRawClient admin(a.idTCPServerAdmin.BoundPort(), "::1");
  admin.Send("\r\nLISTGAMES\r\n");
  ASSERT_EQ(admin.ReceiveLine(), "OK");
  ASSERT_EQ(admin.ReceiveInt(), 1);
  EXPECT_EQ(admin.ReceiveLine(), "SIX\t0\t1");
  test::TRawClient status(a.StatusBoundPort(), "::1");
  status.Send("GET /status.json HTTP/1.0\r\n\r\n");
  EXPECT_EQ(status.ReceiveLine(), "HTTP/1.1 200 OK");
  // "::" is every address of both families.
  for (const char* from : {"::1", "127.0.0.1"}) {
    test::TRawClient any(downstream.Server->StatusBoundPort(), from);
    any.Send("GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_EQ(any.ReceiveLine(), "HTTP/1.1 200 OK") << from;
  }
  // IPv4 peers of the same sockets keep their plain form.
  test::TRawClient v4admin(a.idTCPServerAdmin.BoundPort());
  v4admin.Send("\r\nLISTGAMES\r\n");
  ASSERT_EQ(v4admin.ReceiveLine(), "OK");
  EXPECT_TRUE(test::WaitFor([&] {
    const auto log = upstream.Log();
    return std::count(log.begin(), log.end(), "Admin client connected ::1") == 1 &&
           std::count(log.begin(), log.end(), "Admin client connected 127.0.0.1") == 1 &&
           std::count(log.begin(), log.end(), "Film client connected ::1") == 1;
  })) << ::testing::PrintToString(upstream.Log());
}

// A network without IPv6: a private network namespace whose IPv6 is switched off. The server
// starts, every port listens on IPv4, and the status page takes "::" as every address it has.
TEST(Ipv6Test, ASystemWithoutIpv6StillStarts) {
  ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "needs root: " << std::strerror(errno);
  for (const char* conf : {"all", "default", "lo"})
    test::WriteFile(std::string("/proc/sys/net/ipv6/conf/") + conf + "/disable_ipv6", "1\n");
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  ASSERT_EQ(ioctl(fd, SIOCGIFFLAGS, &request), 0);
  request.ifr_flags |= IFF_UP;
  ASSERT_EQ(ioctl(fd, SIOCSIFFLAGS, &request), 0);
  close(fd);
  EXPECT_THROW(test::TRawClient(28400, "::1"), std::runtime_error);

  TServer server("StatusAddress=::\n");
  test::TRawClient admin(server.Server->idTCPServerAdmin.BoundPort());
  admin.Send("\r\nLISTGAMES\r\n");
  EXPECT_EQ(admin.ReceiveLine(), "OK");
}

TEST(Ipv6Test, TheAllowListTakesIpv6AddressesAndBlocks) {
  const TRelayAllowList list(
      "2001:db8::/32, ::1, fe80::1/129, 10.0.0.0/8, ::ffff:192.168.0.0/112, x::");
  EXPECT_EQ(list.Rejected(), (std::vector<std::string>{"fe80::1/129", "x::"}));
  for (const auto& [address, allowed] : std::vector<std::pair<std::string, bool>>{
           {"2001:db8:1::5", true},
           {"2001:db9::", false},
           {"::1", true},
           {"::2", false},
           {"10.9.8.7", true},
           {"::ffff:10.9.8.7", true},  // the mapped form of an IPv4 entry
           {"192.168.4.4", true},      // an IPv4 peer inside a mapped block
           {"192.169.0.1", false},
           {"[::1]", false}})
    EXPECT_EQ(list.Allows(address), allowed) << address;
  EXPECT_TRUE(TRelayAllowList("::/0").Allows("127.0.0.1"));
}

}  // namespace
