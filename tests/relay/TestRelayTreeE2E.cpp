// Three real servers, each in a network namespace of its own on one bridge: a root, a relay and
// a leaf that lists the relay first and the root after it. The relay is killed in the middle
// of a live game; the leaf moves to the root and ends with the root's bytes.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <csignal>
#include <future>

#include "RelayNode.h"
#include "support/TestSupport.h"

namespace {

using namespace ::testing;
using relaytest::Bytes;
using relaytest::TFilmer;
using relaytest::Watch;

// Runs a shell command in the test's namespace; true on success.
bool Shell(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

// The calling thread in the network namespace of process Pid while the object lives.
class TEnterNet {
 public:
  explicit TEnterNet(pid_t pid) : FOwn(open("/proc/thread-self/ns/net", O_RDONLY)) {
    const int other = open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY);
    if (FOwn < 0 || other < 0 || setns(other, CLONE_NEWNET) != 0)
      throw std::runtime_error("cannot enter the namespace of " + std::to_string(pid));
    close(other);
  }
  ~TEnterNet() {
    setns(FOwn, CLONE_NEWNET);
    close(FOwn);
  }
  TEnterNet(const TEnterNet&) = delete;
  TEnterNet& operator=(const TEnterNet&) = delete;

 private:
  const int FOwn;
};

// The binary with Settings, in a namespace of its own joined to the bridge "zbr" as
// 10.77.0.Index.
class TNetServer {
 public:
  TNetServer(int index, const std::string& settings)
      : FAddress("10.77.0." + std::to_string(index)) {
    test::WriteFile(FDir / "zarnel.ini", "[settings]\n" + settings);
    // The shell makes the namespace, says so and waits for its end of the cable.
    test::WriteFile(FDir / "run.sh",
                    "#!/bin/sh\nmkfifo go\nexec unshare -n sh -c 'echo $$ > pid.tmp && "
                    "mv pid.tmp pid && read x < go && ip link set lo up && ip addr add " +
                        FAddress +
                        "/24 dev eth0 && ip link set eth0 up && exec " ZARNEL_BINARY "'\n");
    chmod((FDir / "run.sh").c_str(), 0755);
    FProcess = std::make_unique<test::TServerProcess>(FDir / "run.sh", FDir.Path());
    if (!test::WaitFor([&] { return test::FileExists(FDir / "pid"); }))
      throw std::runtime_error("no namespace: " + FProcess->Stderr());
    const std::string veth = "zv" + std::to_string(index);
    if (!Shell("ip link add " + veth + " type veth peer name eth0 netns " +
               std::to_string(FProcess->Pid()) + " && ip link set " + veth +
               " master zbr && ip link set " + veth + " up"))
      throw std::runtime_error("no cable for " + FAddress);
    test::WriteFile(FDir / "go", "go\n");
    if (!FProcess->WaitForLine("Waiting for Connections..."))
      throw std::runtime_error("not serving: " + FProcess->Stderr());
  }

  const std::string& Address() const { return FAddress; }
  test::TServerProcess& Process() { return *FProcess; }
  // GET Path of the status page; empty when it does not answer.
  std::string Status(const std::string& path) {
    TEnterNet in(FProcess->Pid());
    httplib::Client client("127.0.0.1", 28500);
    const auto res = client.Get(path);
    return res ? res->body : "";
  }
  std::vector<std::string> Log() const { return test::LogMessages(FDir / "zarnel.log"); }
  // Replaces the settings and has the server reload them.
  void Reload(const std::string& settings) {
    test::WriteFile(FDir / "zarnel.ini", "[settings]\n" + settings);
    FProcess->Signal(SIGHUP);
  }
  // Every stream file of Game with its content.
  std::map<std::string, std::string> StreamFiles(const std::string& game) const {
    const std::string dir = FDir / ("Streams/" + game + "/");
    std::map<std::string, std::string> files;
    for (const std::string& name : test::ListDir(dir))
      if (name.starts_with("stream_")) files[name] = test::ReadFile(dir + name);
    return files;
  }
  std::size_t Bytes(const std::string& game) const {
    std::size_t bytes = 0;
    for (const auto& [name, data] : StreamFiles(game)) bytes += data.size();
    return bytes;
  }

 private:
  test::TTempDir FDir;
  const std::string FAddress;
  std::unique_ptr<test::TServerProcess> FProcess;
};

TEST(RelayTreeE2ETest, ALeafOfAKilledRelayMovesToTheRootAndEndsWithItsBytes) {
  // Everything, the bridge included, in a namespace of this test alone.
  ASSERT_EQ(unshare(CLONE_NEWNET), 0);
  ASSERT_TRUE(Shell("ip link set lo up && ip link add zbr type bridge && ip link set zbr up"));
  const std::string allow = "AllowRelays=1\nRelayAllowFrom=10.77.0.0/24\n";
  TNetServer root(1, allow);
  auto relay = std::make_unique<TNetServer>(2, allow + "RelayEnabled=1\nRelayServer=10.77.0.1\n");
  TNetServer leaf(3, "RelayEnabled=1\nRelayServer=10.77.0.2, 10.77.0.1\nRelayTimeout=3\n");

  const std::string demo = Bytes(8000, 1), audio = Bytes(4000, 2), later = Bytes(3000, 3);
  std::unique_ptr<TFilmer> filmer;
  {
    TEnterNet in(root.Process().Pid());
    filmer = std::make_unique<TFilmer>(FilmPort, "LIVE");
  }
  filmer->Transmit(0, {{0, 8000, 1032}, {1, 4000, 0}});
  filmer->Block(0, demo.substr(0, 3000));
  filmer->Block(1, audio.substr(0, 1500));
  filmer->Sync();
  ASSERT_TRUE(test::WaitFor([&] { return leaf.Bytes("LIVE") == 4500; }, std::chrono::seconds(30)));
  const auto watch = [](TNetServer& server) {
    return std::async(std::launch::async, [pid = server.Process().Pid()] {
      TEnterNet in(pid);
      return Watch(ViewPort, "LIVE");
    });
  };
  auto fromRoot = watch(root), fromLeaf = watch(leaf);
  EXPECT_TRUE(test::WaitFor([&] {
    return leaf.Status("/status.json")
               .find("\"relay_link\":{\"upstream\":\"10.77.0.2\",\"state\":\"connected\"") !=
           std::string::npos;
  }));
  EXPECT_THAT(relay->Status("/status.json"),
              HasSubstr("\"relay_peers\":[{\"address\":\"10.77.0.3\",\"authorized\":true,"));

  relay->Process().Signal(SIGKILL);
  relay->Process().Wait();
  const auto killed = std::chrono::steady_clock::now();
  EXPECT_TRUE(test::WaitFor([&] {
    return leaf.Status("/status.json")
               .find("\"relay_link\":{\"upstream\":\"10.77.0.1\",\"state\":\"connected\"") !=
           std::string::npos;
  }));
  // RelayTimeout and the pause, and a second for the status page's shared snapshot.
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(3 + 2 + 1));
  filmer->Block(0, demo.substr(3000));
  filmer->Block(1, audio.substr(1500));
  filmer->End(0);
  filmer->End(1);
  filmer->Transmit(1, {{0, 3000, 1032}, {1, 0, 0}});
  filmer->Block(0, later);
  filmer->End(0);
  filmer->End(1);
  filmer->Completed();
  const relaytest::TWatched rootSaw = fromRoot.get(), leafSaw = fromLeaf.get();
  EXPECT_EQ(leafSaw.Messages, rootSaw.Messages);
  EXPECT_EQ(leafSaw.Data, rootSaw.Data);
  EXPECT_EQ(leafSaw.Data.at({0, 0}), demo);
  EXPECT_TRUE(test::WaitFor([&] {
    return leaf.Status("/status.json").find("{\"name\":\"LIVE\",\"state\":\"complete\"") !=
           std::string::npos;
  }));
  EXPECT_EQ(leaf.StreamFiles("LIVE"), root.StreamFiles("LIVE"));
  const std::string metrics = leaf.Status("/metrics");
  EXPECT_THAT(metrics, HasSubstr("\nzarnel_relay_link_up 1\n"));
  EXPECT_THAT(metrics, HasSubstr("\nzarnel_relay_link_switches_total 1\n"));
  EXPECT_THAT(metrics, HasSubstr("\nzarnel_relay_mirrored_bytes_total 15000\n"));
  EXPECT_THAT(leaf.Log(),
              IsSupersetOf({"Relay: Connected to 10.77.0.2", "Relay: Connected to 10.77.0.1"}));
  // The list and the timeout apply without a restart.
  leaf.Reload("RelayEnabled=1\nRelayServer=10.77.0.1\nRelayTimeout=5\n");
  EXPECT_TRUE(test::WaitFor([&] {
    return Value(leaf.Log(), Contains("Settings reloaded: RelayServer 10.77.0.2, 10.77.0.1 -> "
                                      "10.77.0.1, RelayTimeout 3 -> 5"));
  })) << PrintToString(leaf.Log());
  for (TNetServer* server : {&root, &leaf}) {
    server->Process().Signal(SIGTERM);
    EXPECT_EQ(server->Process().Wait(), 0);
  }
}

}  // namespace
