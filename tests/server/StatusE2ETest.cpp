// The status page, JSON and metrics of the running binary agree with what clients did.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <csignal>
#include <map>
#include <sstream>

#include "support/TestSupport.h"
#include "view/ViewTestSupport.h"

namespace {

constexpr std::uint16_t StatusPort = 28500;

// Sample lines of a Prometheus text: "name{labels}" -> value.
std::map<std::string, std::string> Samples(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t space = line.rfind(' ');
    out[line.substr(0, space)] = line.substr(space + 1);
  }
  return out;
}

std::string Body(const std::string& path, int* status = nullptr) {
  httplib::Client client("127.0.0.1", StatusPort);
  const auto res = client.Get(path);
  if (!res) return "";
  if (status) *status = res->status;
  return res->body;
}

class StatusE2ETest : public ::testing::Test {
 protected:
  void Stop(test::TServerProcess& server) {
    server.Signal(SIGTERM);
    const int status = server.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  test::TTempDir dir;
};

TEST_F(StatusE2ETest, NumbersAgreeWithAFilmerViewersRefusalsAndFailedLogins) {
  test::WriteFile(dir / "zarnel.ini",
                  "[settings]\nFilmMaxConnections=1\nViewerAuth=1\nfilmpass=film-secret\n"
                  "AdminPassword=admin-secret\n");
  test::WriteFile(dir / "users.txt", "alice,alice-secret\nbob,bob-secret\n");
  test::TServerProcess server(ZARNEL_BINARY, dir.Path());
  ASSERT_TRUE(server.WaitForLine("Waiting for Connections...")) << server.Stderr();

  // A filmer stores 1000 bytes of section 0; a second filmer is over the limit of 1.
  test::TRawClient filmer(28200);
  filmer.ReceiveLine();
  filmer.Send("x\t2016\r\nAUTH\tfilm-secret\tNEW\tlive\r\nTRANSMIT\t1\t0\r\n");
  EXPECT_EQ(filmer.ReceiveLine() + filmer.ReceiveLine(), "OKOK");
  for (const std::int32_t v : {0, 1000, 4}) filmer.SendInt(v);
  EXPECT_EQ(filmer.ReceiveInt(), 0);
  filmer.Send("BLOCK\r\n");
  for (const std::int32_t v : {0, 0, 1000}) filmer.SendInt(v);
  filmer.Send(viewtest::Bytes(1000, 1) + "HI\r\n");
  EXPECT_EQ(filmer.ReceiveLine(), "OK");
  test::TRawClient refused(28200);
  EXPECT_TRUE(refused.ClosedByPeer());

  // Two viewers watch; a third gives a wrong password, the admin two.
  std::vector<std::unique_ptr<test::TRawClient>> viewers;
  for (const std::string user : {"alice", "bob"}) {
    viewers.push_back(std::make_unique<test::TRawClient>(28100));
    viewtest::Greet(*viewers.back(), "AUTH");
    viewers.back()->Send(user + "\t" + user + "-secret\r\n");
    EXPECT_EQ(viewers.back()->ReceiveLine(), "OK");
    viewers.back()->Send("REQUEST\tLIVE\t0\t0\tFALSE\r\n");
    EXPECT_EQ(viewtest::NextNot(*viewers.back(), 0), 1);  // a send cycle has run
  }
  {
    test::TRawClient carol(28100);
    viewtest::Greet(carol, "AUTH");
    carol.Send("carol\tguess\r\n");
    EXPECT_EQ(carol.ReceiveLine(), "FAIL\tIncorrect username or password");
    test::TRawClient admin(28400);
    admin.Send("guess\nadmin-secreT\n");
    EXPECT_EQ(admin.ReceiveLine() + admin.ReceiveLine(),
              "FAIL\tIncorrect PasswordFAIL\tIncorrect Password");
  }

  const std::map<std::string, std::string> want = {
      {"zarnel_viewers{game=\"LIVE\"}", "2"},
      {"zarnel_stored_bytes{game=\"LIVE\"}", "1000"},
      {"zarnel_games{state=\"filming\"}", "1"},
      {"zarnel_games{state=\"complete\"}", "0"},
      {"zarnel_connections{port=\"view\"}", "2"},
      {"zarnel_connections{port=\"film\"}", "1"},
      {"zarnel_connections{port=\"admin\"}", "0"},
      {"zarnel_connections_accepted_total{port=\"view\"}", "3"},
      {"zarnel_connections_accepted_total{port=\"film\"}", "1"},
      {"zarnel_connections_accepted_total{port=\"admin\"}", "1"},
      {"zarnel_connections_refused_total{port=\"film\"}", "1"},
      {"zarnel_connections_refused_total{port=\"view\"}", "0"},
      {"zarnel_logins_failed_total{port=\"view\"}", "1"},
      {"zarnel_logins_failed_total{port=\"admin\"}", "2"},
      {"zarnel_logins_failed_total{port=\"film\"}", "0"},
      {"zarnel_build_info{version=\"1.0.0.23\"}", "1"},
  };
  std::map<std::string, std::string> got;
  std::string metrics;
  EXPECT_TRUE(test::WaitFor([&] {
    metrics = Body("/metrics");
    got = Samples(metrics);
    for (const auto& [name, value] : want)
      if (got[name] != value) return false;
    return true;
  })) << metrics;
  // The filmer's 1000 bytes and more came in; greetings and stream data went out.
  EXPECT_GT(std::stoull(got["zarnel_received_bytes_total"]), 1000u);
  EXPECT_GT(std::stoull(got["zarnel_sent_bytes_total"]), 0u);
  EXPECT_GE(std::stoull(got["zarnel_send_cycle_lateness_seconds_count"]), 2u);
  EXPECT_EQ(got["zarnel_send_cycle_lateness_seconds_bucket{le=\"+Inf\"}"],
            got["zarnel_send_cycle_lateness_seconds_count"]);

  const std::string json = Body("/status.json");
  EXPECT_NE(json.find("{\"name\":\"LIVE\",\"state\":\"filming\",\"sections\":1,\"streams\":1,"
                      "\"viewers\":2,\"available\":true,\"bytes\":1000}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"uploads\":[{\"game\":\"LIVE\",\"bytes\":1000,"), std::string::npos);
  EXPECT_NE(json.find("{\"name\":\"film\",\"port\":28200,\"listening\":true,\"connections\":1,"
                      "\"accepted\":1,\"refused\":1,\"logins_failed\":0}"),
            std::string::npos);
  const std::string html = Body("/");
  EXPECT_NE(html.find("<td>LIVE</td><td>filming</td>"), std::string::npos) << html;

  int status = 0;
  EXPECT_EQ(Body("/admin", &status), "Not found\n");
  EXPECT_EQ(status, 404);
  httplib::Client client("127.0.0.1", StatusPort);
  const auto post = client.Post("/metrics", "", "text/plain");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 405);
  // No password, user name or peer address in any output.
  for (const std::string& out : {metrics, json, html})
    for (const char* secret : {"secret", "alice", "bob", "carol", "guess", "127.0.0.1"})
      EXPECT_EQ(out.find(secret), std::string::npos) << secret;
  Stop(server);
}

TEST_F(StatusE2ETest, OffWithPortZeroAndAPortInUseStopsTheStart) {
  test::WriteFile(dir / "zarnel.ini", "[settings]\nStatusPort=0\n");
  {
    test::TServerProcess server(ZARNEL_BINARY, dir.Path());
    ASSERT_TRUE(server.WaitForLine("Waiting for Connections...")) << server.Stderr();
    EXPECT_TRUE(test::PortClosed(StatusPort));
    Stop(server);
  }
  // Someone else holds the status port.
  const int holder = socket(AF_INET, SOCK_STREAM, 0);
  const int yes = 1;
  setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(StatusPort);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  test::WriteFile(dir / "zarnel.ini", "[settings]\n");
  test::TServerProcess failed(ZARNEL_BINARY, dir.Path());
  const int status = failed.Wait();
  close(holder);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(failed.Stderr(), "zarnel: Could not bind the status page to 127.0.0.1:28500\n");
}

}  // namespace
