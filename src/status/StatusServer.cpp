#include "status/StatusServer.h"

#include <httplib.h>

#include <stdexcept>
#include <utility>

#include "status/BoundedTaskQueue.h"
#include "status/StatusHttp.h"
#include "status/StatusPages.h"

TStatusServer::TStatusServer(IStatusSource& source, TStatusRun run,
                             std::chrono::milliseconds maxAge,
                             std::chrono::milliseconds historyStep)
    : FSource(source), FRun(std::move(run)), FMaxAge(maxAge), FHistoryStep(historyStep) {}

TStatusServer::~TStatusServer() {
  Stop();
}

void TStatusServer::Start(const std::string& address, int port) {
  auto http = std::make_unique<TStatusHttp>(RequestTime, RequestTime);
  // A page for a few people and a scraper, cheap to serve from one snapshot: a thread for each
  // of many connections, so that slow or idle ones do not keep others waiting; a few waiting;
  // short waits; no request bodies.
  http->new_task_queue = [this] {
    return new TBoundedTaskQueue(ServedAtOnce, Waiting, [this] { return FStopping.load(); });
  };
  http->set_keep_alive_timeout(KeepAlive.count());
  http->set_payload_max_length(4096);
  // The library's default adds SO_REUSEPORT, which would let a second server share the port
  // instead of failing to start.
  http->set_socket_options([](socket_t sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });

  const auto page = [this](const char* type, auto render) {
    return [this, type, render](const httplib::Request&, httplib::Response& res) {
      res.set_header("Cache-Control", "no-store");
      res.set_content(render(*Current()), type);
    };
  };
  http->Get("/", page("text/html; charset=utf-8", [this](const TStatusSnapshot& s) {
              return RenderStatusHtml(s, FRun, FHistory.Read());
            }));
  http->Get("/history.json", page("application/json", [this](const TStatusSnapshot&) {
              return RenderHistoryJson(FHistory.Read());
            }));
  http->Get("/status.json", page("application/json", [this](const TStatusSnapshot& s) {
              return RenderStatusJson(s, FRun, Metrics());
            }));
  http->Get("/metrics",
            page("text/plain; version=0.0.4; charset=utf-8",
                 [this](const TStatusSnapshot& s) { return RenderMetrics(s, FRun, Metrics()); }));
  // Everything is read-only: other methods are refused on every path.
  const auto refuse = [](const httplib::Request&, httplib::Response& res) {
    res.status = 405;
    res.set_header("Allow", "GET, HEAD");
    res.set_content("Only GET and HEAD\n", "text/plain");
  };
  http->Post(".*", refuse);
  http->Put(".*", refuse);
  http->Patch(".*", refuse);
  http->Delete(".*", refuse);
  http->Options(".*", refuse);
  http->set_error_handler([refuse](const httplib::Request& req, httplib::Response& res) {
    if (res.status == 404) res.set_content("Not found\n", "text/plain");
    // The library answers the methods it does not route with 400.
    if (res.status == 400 && RefusedForItsMethod(req)) refuse(req, res);
  });

  if (port == 0) {
    const int bound = http->bind_to_any_port(address);
    if (bound <= 0) throw std::runtime_error("Could not bind the status page to " + address);
    FBoundPort = static_cast<std::uint16_t>(bound);
  } else if (!http->bind_to_port(address, port)) {
    throw std::runtime_error("Could not bind the status page to " + address + ":" +
                             std::to_string(port));
  } else {
    FBoundPort = static_cast<std::uint16_t>(port);
  }
  http->SetBacklog(Backlog);
  FHttp = std::move(http);
  FListenDone = false;
  FStopping = false;
  FThread = std::thread([this, server = FHttp.get()] {
    server->listen_after_bind();
    FListenDone = true;
  });
  FSamplerStop = false;
  FSampler = std::thread([this] { Sample(); });
}

void TStatusServer::Sample() {
  std::unique_lock<std::mutex> lock(FSamplerLock);
  while (!FSamplerWake.wait_for(lock, FHistoryStep, [this] { return FSamplerStop; })) {
    lock.unlock();
    try {
      FHistory.Add(*Current(), Metrics().SentBytes.load());
    } catch (const std::exception&) {
      // A snapshot that fails now (a store mid-change) leaves a gap; the next one fills in.
    }
    lock.lock();
  }
}

void TStatusServer::Stop() {
  if (!FHttp) return;
  {
    std::lock_guard<std::mutex> lock(FSamplerLock);
    FSamplerStop = true;
  }
  FSamplerWake.notify_all();
  if (FSampler.joinable()) FSampler.join();
  // The library's stop does nothing until its loop runs; so wait for the loop (or its end).
  while (!FHttp->is_running() && !FListenDone)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // The library tells its queue nothing of the stop; a listening thread held back by a full
  // queue learns of it here. Connections end their waits, so the workers are free at once.
  FStopping = true;
  FHttp->Interrupt();
  FHttp->stop();
  if (FThread.joinable()) FThread.join();
  FHttp.reset();
}

std::shared_ptr<const TStatusSnapshot> TStatusServer::Current() {
  std::lock_guard<std::mutex> lock(FSnapshotLock);
  const auto now = std::chrono::steady_clock::now();
  if (FSnapshot && now - FSnapshotTime < FMaxAge) return FSnapshot;
  auto fresh = std::make_shared<TStatusSnapshot>(FSource.Snapshot());
  // Upload rates from the growth since the previous snapshot.
  const double seconds = std::chrono::duration<double>(now - FSnapshotTime).count();
  std::map<std::string, std::uint64_t> uploads;
  for (TStatusUpload& u : fresh->Uploads) {
    const auto before = FPreviousUploads.find(u.Game);
    if (FSnapshot && before != FPreviousUploads.end() && u.Bytes >= before->second && seconds > 0)
      u.BytesPerSecond = static_cast<double>(u.Bytes - before->second) / seconds;
    uploads[u.Game] = u.Bytes;
  }
  FPreviousUploads = std::move(uploads);
  FSnapshot = std::move(fresh);
  FSnapshotTime = now;
  return FSnapshot;
}
