// The status server with a stand-in source: caching, routes, methods, hostile game names,
// stalling clients, stopping and pipelining; the renderings of the store's space and of damaged
// games.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "common/FileUtil.h"
#include "common/Settings.h"
#include "status/BoundedTaskQueue.h"
#include "status/StatusPages.h"
#include "status/StatusServer.h"
#include "support/TestSupport.h"

namespace {

class TFakeSource : public IStatusSource {
 public:
  TStatusSnapshot Snapshot() override {
    ++Calls;
    std::lock_guard<std::mutex> lock(Lock);
    TStatusSnapshot s = Next;
    s.Taken = std::chrono::system_clock::now();
    return s;
  }
  std::atomic<int> Calls{0};
  std::mutex Lock;
  TStatusSnapshot Next;  // guarded by Lock
};

class StatusServerTest : public ::testing::Test {
 protected:
  void Start(std::chrono::milliseconds maxAge) {
    FServer = std::make_unique<TStatusServer>(
        FSource, TStatusRun{"9.8.7", std::chrono::system_clock::now()}, maxAge);
    FServer->Start("127.0.0.1", 0);
    FClient = std::make_unique<httplib::Client>("127.0.0.1", FServer->BoundPort());
  }
  std::string Get(const std::string& path, int status = 200) {
    const auto res = FClient->Get(path);
    EXPECT_TRUE(res) << path;
    if (!res) return "";
    EXPECT_EQ(res->status, status) << path;
    return res->body;
  }
  TFakeSource FSource;
  std::unique_ptr<TStatusServer> FServer;
  std::unique_ptr<httplib::Client> FClient;
};

using TClock = std::chrono::steady_clock;

struct THttpAnswer {
  int Status = 0;
  std::map<std::string, std::string> Headers;
  std::string Body;
};

// Reads one answer off a raw connection; the answer to HEAD has no body whatever its length.
THttpAnswer ReadAnswer(test::TRawClient& client, bool head = false) {
  THttpAnswer answer;
  answer.Status = std::stoi(client.ReceiveLine().substr(9, 3));
  for (std::string line = client.ReceiveLine(); !line.empty(); line = client.ReceiveLine()) {
    const std::size_t colon = line.find(": ");
    answer.Headers[line.substr(0, colon)] = line.substr(colon + 2);
  }
  if (!head) answer.Body = client.Receive(std::stoul(answer.Headers["Content-Length"]));
  return answer;
}

// Connections that send a request one byte at a time, every 100 ms, and never finish it; each
// notes how long after its first byte the server closed it.
class TTricklers {
 public:
  TTricklers(std::uint16_t port, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      FClients.push_back(std::make_unique<test::TRawClient>(port));
      // Taken before the byte goes, so the server's deadline cannot start earlier.
      FFirstByte.push_back(TClock::now());
      FClients.back()->Send(FRequest.substr(0, 1));
    }
    FClosedAfter.resize(FClients.size());
    FThread = std::thread([this] { Run(); });
  }
  ~TTricklers() { Stop(); }
  TTricklers(const TTricklers&) = delete;
  TTricklers& operator=(const TTricklers&) = delete;

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FDone = true;
    }
    FWake.notify_all();
    if (FThread.joinable()) FThread.join();
  }
  // For each connection the server has closed, the time from its first byte.
  std::vector<TClock::duration> ClosedAfter() {
    std::lock_guard<std::mutex> lock(FLock);
    std::vector<TClock::duration> out;
    for (const auto& after : FClosedAfter)
      if (after) out.push_back(*after);
    return out;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(FLock);
    for (std::size_t sent = 1;
         !FWake.wait_for(lock, std::chrono::milliseconds(100), [this] { return FDone; }); ++sent)
      for (std::size_t i = 0; i < FClients.size(); ++i) {
        if (FClosedAfter[i]) continue;
        bool closed = FClients[i]->ClosedByPeer(std::chrono::milliseconds(0));
        try {
          if (!closed) FClients[i]->Send(FRequest.substr(sent, 1));
        } catch (const std::runtime_error&) {
          closed = true;  // the server reset the connection
        }
        if (closed) FClosedAfter[i] = TClock::now() - FFirstByte[i];
      }
  }

  // Long enough that it is never complete while a test runs.
  const std::string FRequest = "GET /metrics HTTP/1.1\r\nX-Pad: " + std::string(2000, 'a');
  std::vector<std::unique_ptr<test::TRawClient>> FClients;
  std::vector<TClock::time_point> FFirstByte;
  std::mutex FLock;
  std::condition_variable FWake;
  bool FDone = false;                                         // guarded by FLock
  std::vector<std::optional<TClock::duration>> FClosedAfter;  // guarded by FLock
  std::thread FThread;
};

TEST_F(StatusServerTest, RoutesMethodsAndNamesThatNeedEscaping) {
  {
    std::lock_guard<std::mutex> lock(FSource.Lock);
    TStatusGame game;
    game.Name = "<B>\"&\\\n\xE9";
    game.Viewers = 3;
    FSource.Next.Games = {game};
    FSource.Next.Ports = {{spView, 28100, true, 4}};
  }
  Start(std::chrono::milliseconds(1000));
  const std::string html = Get("/");
  EXPECT_NE(html.find("<td>&lt;B&gt;&quot;&amp;\\\n\xC3\xA9</td>"), std::string::npos) << html;
  EXPECT_NE(html.find("http-equiv=\"refresh\""), std::string::npos);
  EXPECT_EQ(html.find("http://"), std::string::npos);  // nothing fetched from elsewhere
  EXPECT_NE(Get("/status.json").find("\"name\":\"<B>\\\"&\\\\\\u000a\xC3\xA9\""),
            std::string::npos);
  const std::string metrics = Get("/metrics");
  EXPECT_NE(metrics.find("zarnel_viewers{game=\"<B>\\\"&\\\\\\n\xC3\xA9\"} 3\n"), std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("zarnel_build_info{version=\"9.8.7\"} 1\n"), std::string::npos);
  EXPECT_NE(metrics.find("zarnel_connections{port=\"view\"} 4\n"), std::string::npos);

  for (const char* path : {"/nope", "/metrics/", "/../etc/passwd"})
    EXPECT_EQ(Get(path, 404), "Not found\n") << path;
  const auto post = FClient->Post("/", "x", "text/plain");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 405);
  EXPECT_EQ(post->get_header_value("Allow"), "GET, HEAD");
  const auto head = FClient->Head("/metrics");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_EQ(head->body, "");
}

TEST_F(StatusServerTest, SnapshotsAreSharedForTheirAgeAndGiveUploadRates) {
  {
    std::lock_guard<std::mutex> lock(FSource.Lock);
    FSource.Next.Uploads = {{"UP", 1000, 0}};
  }
  const std::chrono::milliseconds age(300);
  Start(age);
  const auto begin = TClock::now();
  for (int requests = 0; requests < 20; ++requests) Get(requests % 2 ? "/" : "/metrics");
  const auto took = TClock::now() - begin;
  // However often it is asked, the source is read at most once per age, however long the
  // requests took.
  EXPECT_LE(FSource.Calls.load(), 1 + took / age) << took / std::chrono::milliseconds(1) << " ms";

  {
    std::lock_guard<std::mutex> lock(FSource.Lock);
    FSource.Next.Uploads = {{"UP", 1000 + 100000, 0}};
  }
  std::string json;
  ASSERT_TRUE(test::WaitFor([&] {
    json = Get("/status.json");
    return json.find("\"bytes\":101000") != std::string::npos;
  }));
  // 100000 bytes within at most a few ages: a rate well above zero and at most 100000/0.3 s.
  const std::size_t at = json.find("\"bytes_per_second\":");
  ASSERT_NE(at, std::string::npos);
  const double rate = std::stod(json.substr(at + 19));
  EXPECT_GT(rate, 1000.0);
  EXPECT_LE(rate, 100000 / 0.3);
}

// Idle connections wait in the kernel's queue rather than as descriptors of the server; once
// they go, the page answers again.
TEST_F(StatusServerTest, ThePageAnswersAgainOnceIdleConnectionsGo) {
  Start(std::chrono::milliseconds(1000));
  const auto open = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const auto before = open();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(FServer->BoundPort());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<TFileHandle> idle;
  const long clients = 100;
  for (int i = 0; i < clients; ++i) {
    idle.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    connect(idle.back().Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  // Those running, those waiting and one the listening thread holds.
  const long held = TStatusServer::ServedAtOnce + TStatusServer::Waiting;
  ASSERT_TRUE(test::WaitFor([&] { return open() - before >= clients + held; }));
  EXPECT_LE(open() - before, clients + held + 1);
  idle.clear();
  EXPECT_NE(Get("/").find("9.8.7"), std::string::npos);
}

// Slow clients cannot hold the page: a trickled request has its time and no more, idle
// connections go, and meanwhile a scraper is answered at once.
TEST_F(StatusServerTest, SlowAndIdleConnectionsNeitherDelayTheMetricsNorStay) {
  Start(std::chrono::milliseconds(1000));
  const std::uint16_t port = FServer->BoundPort();
  TTricklers tricklers(port, 50);
  // Half idle after an answer, half before their first byte.
  std::vector<std::unique_ptr<test::TRawClient>> idle;
  for (int i = 0; i < 10; ++i) {
    idle.push_back(std::make_unique<test::TRawClient>(port));
    if (i % 2 != 0) continue;
    idle.back()->Send("GET /metrics HTTP/1.1\r\nHost: t\r\n\r\n");
    EXPECT_EQ(ReadAnswer(*idle.back()).Status, 200);
  }

  const auto asked = TClock::now();
  httplib::Client scraper("127.0.0.1", port);
  const auto metrics = scraper.Get("/metrics");
  const auto took = TClock::now() - asked;
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->status, 200);
  // The target is well under a second; the bound leaves room for loaded sanitizer builds.
  EXPECT_LT(took, std::chrono::seconds(3));

  for (const auto& client : idle) EXPECT_TRUE(client->ClosedByPeer());
  ASSERT_TRUE(test::WaitFor([&] { return tricklers.ClosedAfter().size() == 50; },
                            TStatusServer::RequestTime + std::chrono::seconds(20)));
  for (const auto after : tricklers.ClosedAfter()) {
    EXPECT_GE(after, TStatusServer::RequestTime);
    EXPECT_LT(after, TStatusServer::RequestTime + std::chrono::seconds(10));
  }
}

TEST_F(StatusServerTest, StopEndsAtOnceWhateverTheClientsDo) {
  Start(std::chrono::milliseconds(1000));
  test::TRawClient idle(FServer->BoundPort());
  idle.Send("GET / HTTP/1.1\r\nHost: t\r\n\r\n");
  ReadAnswer(idle);
  // As many as are served and may wait: the listening thread waits with the last one.
  const std::size_t count = TStatusServer::ServedAtOnce + TStatusServer::Waiting;
  TTricklers tricklers(FServer->BoundPort(), count);

  auto stopped = std::async(std::launch::async, [this] { FServer->Stop(); });
  // The target is a second; the bound leaves room for loaded sanitizer builds.
  const bool quick = stopped.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
  EXPECT_TRUE(quick);
  if (quick) {
    EXPECT_TRUE(test::WaitFor([&] { return tricklers.ClosedAfter().size() == count; }));
    EXPECT_TRUE(idle.ClosedByPeer());
  }
  // Ends a stop that waits for the clients, so that a failure does not hang.
  tricklers.Stop();
  stopped.get();
}

TEST_F(StatusServerTest, PipelinedRequestsAreAnsweredInTurnAndOtherMethodsRefused) {
  Start(std::chrono::milliseconds(1000));
  test::TRawClient client(FServer->BoundPort());
  client.Send(
      "GET /metrics HTTP/1.1\r\nHost: t\r\n\r\nHEAD / HTTP/1.1\r\nHost: t\r\n\r\n"
      "GET /nope HTTP/1.1\r\nHost: t\r\n\r\n");
  THttpAnswer metrics = ReadAnswer(client);
  EXPECT_EQ(metrics.Status, 200);
  EXPECT_NE(metrics.Body.find("zarnel_build_info{version=\"9.8.7\"} 1\n"), std::string::npos);
  THttpAnswer head = ReadAnswer(client, true);
  EXPECT_EQ(head.Status, 200);
  EXPECT_EQ(head.Headers["Content-Type"], "text/html; charset=utf-8");
  THttpAnswer missing = ReadAnswer(client);
  EXPECT_EQ(missing.Status, 404);
  EXPECT_EQ(missing.Body, "Not found\n");

  // A method the library does not know is refused like POST. What follows it cannot be found
  // for sure, so its answer is the connection's last.
  client.Send("BREW / HTTP/1.1\r\nHost: t\r\n\r\nGET / HTTP/1.1\r\nHost: t\r\n\r\n");
  THttpAnswer brew = ReadAnswer(client);
  EXPECT_EQ(brew.Status, 405);
  EXPECT_EQ(brew.Headers["Allow"], "GET, HEAD");
  EXPECT_EQ(brew.Headers["Connection"], "close");
  EXPECT_EQ(brew.Body, "Only GET and HEAD\n");
  EXPECT_TRUE(client.ClosedByPeer());

  for (const std::string line :
       {"TRACE / HTTP/1.1", "CONNECT 127.0.0.1:80 HTTP/1.1", "M-SEARCH * HTTP/1.0"}) {
    test::TRawClient other(FServer->BoundPort());
    other.Send(line + "\r\nHost: t\r\n\r\n");
    THttpAnswer answer = ReadAnswer(other);
    EXPECT_EQ(answer.Status, 405) << line;
    EXPECT_EQ(answer.Headers["Allow"], "GET, HEAD") << line;
  }
  // A request line that is not HTTP/1 stays a bad request, whatever its method.
  test::TRawClient other(FServer->BoundPort());
  other.Send("BREW / HTTP/9.9\r\nHost: t\r\n\r\n");
  EXPECT_EQ(ReadAnswer(other).Status, 400);
}

TEST(StatusPagesTest, LowSpaceAndADamagedGameShowInEveryRendering) {
  using ::testing::HasSubstr;
  using ::testing::Not;
  TStatusSnapshot s;
  s.Taken = std::chrono::system_clock::now();
  TStatusGame broken, fine;
  broken.Name = "BROKEN";
  broken.Damaged = true;
  fine.Name = "FINE";
  fine.Complete = true;
  fine.Bytes = 3000;
  s.Games = {broken, fine};
  s.Store = {100 * BytesPerMB, 3000, 256 * BytesPerMB};
  TMetrics metrics;
  metrics.GamesRemoved[rrAge] = 2;
  metrics.GamesRemoved[rrAdmin] = 1;
  const TStatusRun run{"1", s.Taken};

  const std::string json = RenderStatusJson(s, run, metrics);
  EXPECT_THAT(json, HasSubstr("{\"name\":\"BROKEN\",\"state\":\"damaged\","));
  EXPECT_THAT(json, HasSubstr("\"bytes\":0,\"damaged\":true}"));
  EXPECT_THAT(json, HasSubstr("{\"name\":\"FINE\",\"state\":\"complete\","));
  EXPECT_THAT(json, HasSubstr("\"bytes\":3000}"));
  EXPECT_THAT(json, HasSubstr("\"store\":{\"free_bytes\":104857600,\"size_bytes\":3000,"
                              "\"min_free_bytes\":268435456,\"low_space\":true}}\n"));
  const std::string text = RenderMetrics(s, run, metrics);
  for (const char* line :
       {"# TYPE zarnel_store_free_bytes gauge\nzarnel_store_free_bytes 104857600\n",
        "# TYPE zarnel_store_size_bytes gauge\nzarnel_store_size_bytes 3000\n",
        "# TYPE zarnel_games_removed_total counter\nzarnel_games_removed_total{reason=\"age\"} 2\n"
        "zarnel_games_removed_total{reason=\"size\"} 0\n"
        "zarnel_games_removed_total{reason=\"admin\"} 1\n",
        "zarnel_games{state=\"incomplete\"} 0\nzarnel_games{state=\"damaged\"} 1\n"})
    EXPECT_THAT(text, HasSubstr(line));
  const std::string html = RenderStatusHtml(s, run);
  EXPECT_THAT(html, HasSubstr("<td>BROKEN</td><td>damaged</td>"));
  EXPECT_THAT(html, HasSubstr("<p class=\"warn\">Low disk space: 104.9 MB free, under "
                              "MinFreeMB (256). New uploads are refused"));

  // Free space at the floor, and no floor at all, are not low.
  for (const TStatusStore store :
       {TStatusStore{256 * BytesPerMB, 0, 256 * BytesPerMB}, TStatusStore{0, 0, 0}}) {
    s.Store = store;
    EXPECT_THAT(RenderStatusJson(s, run, metrics), HasSubstr("\"low_space\":false}"));
    EXPECT_THAT(RenderStatusHtml(s, run), Not(HasSubstr("Low disk space")));
  }
}

// Without a link, relay_link is null and the link is down; with one, its games and lags show
// in every rendering, a complete game's lag as 0.
TEST(StatusPagesTest, TheRelayLinkAndItsPeersShowInEveryRendering) {
  using ::testing::HasSubstr;
  TStatusSnapshot s;
  s.Taken = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
  TMetrics metrics;
  metrics.RelayLinkSwitches = 3;
  metrics.RelayMirroredBytes = 12345;
  const TStatusRun run{"1", s.Taken};
  EXPECT_THAT(RenderStatusJson(s, run, metrics),
              HasSubstr(",\"relay_link\":null,\"relay_peers\":[],"));
  EXPECT_THAT(RenderMetrics(s, run, metrics),
              HasSubstr("zarnel_relay_link_up 0\n# HELP zarnel_relay_link_switches_total"));

  s.RelayLink = TStatusRelayLink{"10.0.0.1:28301", "connected", s.Taken, {}};
  s.RelayLink->Games = {{"LIVE<1>", "live", 2.5}, {"OLD", "complete", 40}};
  s.RelayPeers = {{"10.0.0.7", true, s.Taken, 5000}, {"10.0.0.8", false, s.Taken, 8}};
  EXPECT_THAT(RenderStatusJson(s, run, metrics),
              HasSubstr("\"relay_link\":{\"upstream\":\"10.0.0.1:28301\",\"state\":\"connected\","
                        "\"since\":1700000000.000,\"games\":[{\"name\":\"LIVE<1>\",\"state\":"
                        "\"live\",\"seconds_since_data\":2.5},{\"name\":\"OLD\",\"state\":"
                        "\"complete\",\"seconds_since_data\":40}]},\"relay_peers\":[{\"address\":"
                        "\"10.0.0.7\",\"authorized\":true,\"connected_since\":1700000000.000,"
                        "\"bytes_sent\":5000},{\"address\":\"10.0.0.8\",\"authorized\":false,"
                        "\"connected_since\":1700000000.000,\"bytes_sent\":8}],\"sent_bytes\""));
  const std::string text = RenderMetrics(s, run, metrics);
  for (const char* line : {"zarnel_relay_link_up 1\n", "zarnel_relay_link_switches_total 3\n",
                           "zarnel_relay_mirrored_bytes_total 12345\n", "zarnel_relay_peers 2\n",
                           "zarnel_relay_game_lag_seconds{game=\"LIVE<1>\"} 2.5\n"
                           "zarnel_relay_game_lag_seconds{game=\"OLD\"} 0\n"})
    EXPECT_THAT(text, HasSubstr(line));
  const std::string html = RenderStatusHtml(s, run);
  EXPECT_THAT(html, HasSubstr("<p>Upstream 10.0.0.1:28301 &middot; connected since "
                              "2023-11-14 22:13:20 UTC</p>"));
  EXPECT_THAT(html, HasSubstr("<tr><td>LIVE&lt;1&gt;</td><td>live</td><td class=\"n\">2 s</td>"));
  EXPECT_THAT(html, HasSubstr("<h2>Relay peers (2)</h2>"));
  EXPECT_THAT(html, HasSubstr("<tr><td>10.0.0.8</td><td>no</td><td>2023-11-14 22:13:20 UTC</td>"
                              "<td class=\"n\">8 B</td></tr>"));
}

TEST(BoundedTaskQueueTest, PastItsBoundACallerWaitsForAJobToEndUnlessStopping) {
  std::atomic<bool> stopping{false};
  std::atomic<int> ran{0};
  TBoundedTaskQueue queue(2, 3, [&] { return stopping.load(); });
  for (const bool stop : {false, true}) {
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    for (int i = 0; i < 5; ++i)
      queue.enqueue([&, open] {
        open.wait();
        ++ran;
      });
    auto sixth = std::async(std::launch::async, [&] { queue.enqueue([&] { ++ran; }); });
    if (stop) {
      stopping = true;
      EXPECT_EQ(sixth.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    } else {
      EXPECT_EQ(sixth.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    }
    gate.set_value();
    sixth.get();
  }
  queue.shutdown();
  EXPECT_EQ(ran, 12);
}

TEST(StatusServerBindTest, AnAddressInUseIsAnError) {
  TFakeSource source;
  TStatusServer first(source, {"1", {}});
  first.Start("127.0.0.1", 0);
  TStatusServer second(source, {"1", {}});
  EXPECT_THROW(second.Start("127.0.0.1", first.BoundPort()), std::runtime_error);
  EXPECT_THROW(second.Start("256.1.1.1", 28599), std::runtime_error);
}

}  // namespace

namespace {

TStatusSnapshot At(int minute, std::vector<TStatusGame> games, std::vector<TStatusUpload> uploads) {
  TStatusSnapshot s;
  s.Taken = std::chrono::system_clock::time_point(std::chrono::minutes(29000000 + minute));
  s.Games = std::move(games);
  s.Uploads = std::move(uploads);
  return s;
}

// Three minutes of a server: the series, their rates, and an hour's bound on what is kept.
TEST(StatusHistoryTest, SeriesAndRatesOverTheLastHour) {
  TStatusHistory history;
  TStatusGame a{"A", false, true, true, 1, 1, 2, 0, false};
  TStatusGame b{"B<x>", false, true, true, 1, 1, 0, 0, false};
  history.Add(At(0, {a, b}, {{"UP", 0, 0}}), 1000);
  a.Viewers = 3;
  b.Viewers = 1;
  history.Add(At(1, {a, b}, {{"UP", 60000, 0}}), 7000);
  history.Add(At(2, {a, b}, {{"UP", 60000, 0}, {"NEW", 500, 0}}), 19000);
  EXPECT_EQ(RenderHistoryJson(history.Read()),
            "{\"step_seconds\":60,\"times\":[1740000000.000,1740000060.000,1740000120.000],"
            "\"viewers\":[2,4,4],\"game_viewers\":{\"A\":[2,3,3],\"B<x>\":[0,1,1]},"
            "\"sent_bytes_per_second\":[0,100,200],"
            "\"upload_bytes_per_second\":{\"NEW\":[0,0,0],\"UP\":[0,1000,0]}}\n");
  const std::string charts = RenderHistoryCharts(history.Read());
  EXPECT_EQ(
      std::count(charts.begin(), charts.end(), '<') - std::count(charts.begin(), charts.end(), '>'),
      0);
  for (const char* part : {"<h2>Last hour</h2>", "all games", "B&lt;x&gt;", "200 B/s"})
    EXPECT_NE(charts.find(part), std::string::npos) << part;
  // A line per series: the viewers of all games, of A and of B; bytes sent; two uploads.
  std::size_t lines = 0;
  for (std::size_t at = charts.find("<polyline"); at != std::string::npos;
       at = charts.find("<polyline", at + 1))
    ++lines;
  EXPECT_EQ(lines, 6u);
  EXPECT_EQ(RenderHistoryCharts({}), "");

  for (int minute = 3; minute < 3 + 70; ++minute) history.Add(At(minute, {a}, {}), 19000);
  const auto kept = history.Read();
  ASSERT_EQ(kept.size(), TStatusHistory::Points);
  EXPECT_EQ(kept.front().Taken, At(13, {}, {}).Taken);
}

// The page and /history.json of a running server gain a point every step.
TEST_F(StatusServerTest, TheHistoryIsSampledAndServed) {
  {
    std::lock_guard<std::mutex> lock(FSource.Lock);
    FSource.Next.Games = {{"LIVE", true, false, true, 1, 1, 5, 100, false}};
  }
  FServer = std::make_unique<TStatusServer>(
      FSource, TStatusRun{"9.8.7", std::chrono::system_clock::now()}, std::chrono::milliseconds(10),
      std::chrono::milliseconds(20));
  FServer->Start("127.0.0.1", 0);
  FClient = std::make_unique<httplib::Client>("127.0.0.1", FServer->BoundPort());
  ASSERT_TRUE(test::WaitFor(
      [&] { return Get("/history.json").find("\"viewers\":[5,5,5") != std::string::npos; }));
  EXPECT_NE(Get("/history.json").find("\"game_viewers\":{\"LIVE\":[5,5,5"), std::string::npos);
  const std::string page = Get("/");
  EXPECT_NE(page.find("<h2>Last hour</h2>"), std::string::npos);
  EXPECT_NE(page.find("<svg viewBox="), std::string::npos);
  FServer->Stop();  // the sampler stops with the page
}

}  // namespace
