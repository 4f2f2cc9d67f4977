#include "view/ViewSenders.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <optional>
#include <system_error>

#include "common/Metrics.h"
#include "net/IdException.h"

namespace {

using TClock = std::chrono::steady_clock;

// How often a sender thread looks for viewers past their send deadline: a stalled viewer is
// closed within this much of it, at the cost of one pass over the thread's viewers.
constexpr auto SweepInterval = std::chrono::seconds(1);

// Cycles fall due on a grid of this step, a hundredth of a cycle, so that the viewers due
// within one step run in one burst: the system delivers a burst of sends for less than the
// same sends spread out, and the thread wakes once a step rather than once a viewer.
constexpr auto DueStep = std::chrono::microseconds(TViewStreamer::CycleMs * 10);

// One cycle after Done, moved to the nearest point of the grid shifted by Offset: at most half
// a step early or late, and a viewer's period stays a cycle on average.
TClock::time_point NextDue(TClock::time_point done, std::chrono::microseconds offset) {
  using std::chrono::microseconds;
  const microseconds due = std::chrono::round<microseconds>(done.time_since_epoch()) +
                           std::chrono::milliseconds(TViewStreamer::CycleMs);
  if constexpr (DueStep.count() == 0) return TClock::time_point(due);
  return TClock::time_point((due - offset + DueStep / 2) / DueStep * DueStep + offset);
}

}  // namespace

struct TViewSenders::TViewer {
  std::shared_ptr<TIdPeerThread> Peer;
  std::unique_ptr<TQueuedOutput> Output;  // before the streamer, which writes to it
  std::unique_ptr<TViewStreamer> Streamer;
  TEnd End;
  bool Sending = false;   // the cycle's message has not wholly left
  bool Awaiting = false;  // resume offsets are still missing
  bool Last = false;      // the session ends once the message has left
  std::optional<std::chrono::steady_clock::time_point> LastStart;  // of the previous cycle
};

// Runs the end steps of ended viewers and finishes their sessions.
class TViewSenders::TEndThreads {
 public:
  explicit TEndThreads(std::atomic<std::size_t>& count) : FCount(count) {
    for (int i = 0; i < EndThreads; ++i) FThreads.emplace_back([this] { Loop(); });
  }
  // Ends every viewer handed over before it returns.
  ~TEndThreads() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FStop = true;
    }
    FReady.notify_all();
    for (std::thread& thread : FThreads) thread.join();
  }
  // No reason after a normal end.
  void Add(std::unique_ptr<TViewer> viewer, std::optional<TEndReason> reason) {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FQueue.emplace_back(std::move(viewer), std::move(reason));
    }
    FReady.notify_one();
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(FLock);
    for (;;) {
      FReady.wait(lock, [this] { return FStop || !FQueue.empty(); });
      if (FQueue.empty()) return;  // stopping, and nothing left to end
      auto [viewer, reason] = std::move(FQueue.front());
      FQueue.pop_front();
      lock.unlock();
      try {
        viewer->End(reason ? &*reason : nullptr);
      } catch (...) {
        // Safe to drop: each end step logs its own errors, so only a failure to set them up
        // (out of memory) lands here, and the session must finish all the same.
      }
      viewer->Peer->Finish();
      viewer.reset();
      FCount.fetch_sub(1);
      lock.lock();
    }
  }

  std::atomic<std::size_t>& FCount;
  std::mutex FLock;
  std::condition_variable FReady;
  bool FStop = false;  // guarded by FLock
  // guarded by FLock
  std::deque<std::pair<std::unique_ptr<TViewer>, std::optional<TEndReason>>> FQueue;
  std::vector<std::thread> FThreads;
};

// One thread with its viewers: an epoll set for sockets that must drain or deliver offsets,
// and the viewers' next cycle times in order (each is "now + one cycle", so appending keeps
// the queue sorted).
class TViewSenders::TSenderThread {
 public:
  // Offset shifts the thread's grid, so that the threads' bursts take turns rather than
  // contend with each other and with the peers for the processors.
  TSenderThread(const TSettingsHolder& settings, TEndThreads& ends,
                std::chrono::microseconds offset)
      : FSettings(settings), FEnds(ends), FOffset(offset) {
    if (!FEpoll.Valid() || !FWake.Valid())
      throw std::system_error(errno, std::generic_category(), "sender thread");
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    if (epoll_ctl(FEpoll.Get(), EPOLL_CTL_ADD, FWake.Get(), &event) != 0)
      throw std::system_error(errno, std::generic_category(), "sender thread");
    FThread = std::thread([this] { Loop(); });
  }

  ~TSenderThread() {
    FStop = true;
    Wake();
    FThread.join();
    // Left over only when the owner goes first: end them as a closed connection would.
    const TEndReason closed{EIdConnClosedGracefully().what()};
    std::vector<std::unique_ptr<TViewer>> rest;
    {
      std::lock_guard<std::mutex> lock(FIncomingLock);
      for (auto& viewer : FIncoming) rest.push_back(std::move(viewer));
    }
    for (auto& [key, viewer] : FViewers) rest.push_back(std::move(viewer));
    for (auto& viewer : rest) {
      viewer->Peer->Connection().DisconnectSocket();
      FEnds.Add(std::move(viewer), closed);
    }
  }

  void Add(std::unique_ptr<TViewer> viewer) {
    {
      std::lock_guard<std::mutex> lock(FIncomingLock);
      FIncoming.push_back(std::move(viewer));
    }
    Wake();
  }

 private:
  void Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(FWake.Get(), &one, sizeof one);
  }

  void Loop() {
    std::vector<epoll_event> events(256);
    while (!FStop.load()) {
      int timeout = -1;
      std::optional<TClock::time_point> wake;
      if (!FDue.empty()) wake = FDue.front().first;
      if (!FViewers.empty() && (!wake || FNextSweep < *wake)) wake = FNextSweep;
      if (wake) {
        const auto wait = *wake - TClock::now();
        // Rounded up, so the thread never wakes just before a cycle is due.
        timeout = static_cast<int>(
            std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
      }
      const int n =
          epoll_wait(FEpoll.Get(), events.data(), static_cast<int>(events.size()), timeout);
      for (int i = 0; i < n; ++i) {
        if (events[i].data.ptr == nullptr)
          TakeIncoming();
        else
          OnReady(*static_cast<TViewer*>(events[i].data.ptr));
      }
      // One clock read for the burst: cycles that fall due meanwhile are run at the next turn.
      for (const auto now = TClock::now(); !FDue.empty() && FDue.front().first <= now;) {
        TViewer& viewer = *FDue.front().second;
        FDue.pop_front();
        RunCycle(viewer);
      }
      if (const auto now = TClock::now(); now >= FNextSweep) {
        FNextSweep = now + SweepInterval;
        EndStalled(now);
      }
    }
  }

  // Ends the viewers whose peer has taken no byte for the send time-out while a message waits
  // for room or their resume offsets are due. One that never reads stops in either: with a
  // full socket, or, its buffers holding a whole section, at the next announcement.
  void EndStalled(TClock::time_point now) {
    const std::chrono::seconds timeout(FSettings.Get()->SendTimeout);
    if (timeout.count() <= 0) return;
    std::vector<TViewer*> stalled;
    // Only viewers that wait are ever stalled, and none of those is due for a cycle.
    for (const auto& [key, viewer] : FViewers)
      if (viewer->Output->Stalled(now, timeout, viewer->Awaiting)) stalled.push_back(key);
    for (TViewer* viewer : stalled) {
      // What it never took cannot help it: the system lets go of it at the close.
      viewer->Output->DiscardOnClose();
      End(*viewer, TEndReason{"Send timeout", true});
    }
  }

  void TakeIncoming() {
    std::uint64_t value = 0;
    [[maybe_unused]] const ssize_t n = ::read(FWake.Get(), &value, sizeof value);
    std::vector<std::unique_ptr<TViewer>> incoming;
    {
      std::lock_guard<std::mutex> lock(FIncomingLock);
      incoming.swap(FIncoming);
    }
    for (auto& owned : incoming) {
      TViewer& viewer = *owned;
      FViewers.emplace(&viewer, std::move(owned));
      epoll_event event{};
      // Edge-triggered: a socket is looked at when it drains or data arrives, and only a
      // viewer that waits for that acts on it.
      event.events = EPOLLIN | EPOLLOUT | EPOLLET;
      event.data.ptr = &viewer;
      if (epoll_ctl(FEpoll.Get(), EPOLL_CTL_ADD, viewer.Peer->Connection().SocketFd(), &event) !=
          0) {
        End(viewer, TEndReason{EIdSocketError(errno).what()});
        continue;
      }
      viewer.LastStart = TClock::now();  // the first cycle is due one cycle from here
      CycleDone(viewer);
    }
  }

  void RunCycle(TViewer& viewer) {
    // A cycle is due a cycle's length after the previous one started.
    const auto start = TClock::now();
    if (viewer.LastStart)
      Metrics().CycleLateness.Observe(start - *viewer.LastStart -
                                      std::chrono::milliseconds(TViewStreamer::CycleMs));
    viewer.LastStart = start;
    try {
      viewer.Last = !viewer.Streamer->Step();
      viewer.Awaiting = !viewer.Last && !viewer.Streamer->TakeOffsets();
      viewer.Sending = !viewer.Output->Send();
    } catch (...) {
      return End(viewer, CurrentReason());
    }
    Continue(viewer);
  }

  void OnReady(TViewer& viewer) {
    if (!viewer.Sending && !viewer.Awaiting) return;  // between cycles: nothing to do
    try {
      if (viewer.Sending) viewer.Sending = !viewer.Output->Send();
      if (viewer.Awaiting) viewer.Awaiting = !viewer.Streamer->TakeOffsets();
    } catch (...) {
      return End(viewer, CurrentReason());
    }
    Continue(viewer);
  }

  // After progress on a cycle: the next cycle starts one cycle after this one is done.
  void Continue(TViewer& viewer) {
    if (viewer.Sending || viewer.Awaiting) return;
    if (viewer.Last) return End(viewer, {});
    CycleDone(viewer);
  }

  void CycleDone(TViewer& viewer) {
    if (viewer.Peer->Terminated()) return End(viewer, {});
    FDue.emplace_back(NextDue(TClock::now(), FOffset), &viewer);
  }

  // The exception being handled, as a reason; inside a handler only.
  static TEndReason CurrentReason() {
    try {
      throw;
    } catch (const EIdSessionTimeout& e) {
      return {e.what(), true};
    } catch (const std::exception& e) {
      return {e.what()};
    } catch (...) {
      return {"Unknown error"};
    }
  }

  void End(TViewer& viewer, std::optional<TEndReason> reason) {
    const auto it = FViewers.find(&viewer);
    std::unique_ptr<TViewer> owned = std::move(it->second);
    FViewers.erase(it);
    const int fd = viewer.Peer->Connection().SocketFd();
    if (fd >= 0) epoll_ctl(FEpoll.Get(), EPOLL_CTL_DEL, fd, nullptr);
    FEnds.Add(std::move(owned), std::move(reason));
  }

  const TSettingsHolder& FSettings;
  TEndThreads& FEnds;
  const std::chrono::microseconds FOffset;
  TFileHandle FEpoll{epoll_create1(EPOLL_CLOEXEC)};
  TFileHandle FWake{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  std::atomic<bool> FStop{false};
  std::mutex FIncomingLock;
  std::vector<std::unique_ptr<TViewer>> FIncoming;  // guarded by FIncomingLock
  // The thread's own; the destructor uses them only after the join.
  std::unordered_map<TViewer*, std::unique_ptr<TViewer>> FViewers;
  std::deque<std::pair<TClock::time_point, TViewer*>> FDue;
  TClock::time_point FNextSweep = TClock::now() + SweepInterval;
  std::thread FThread;  // last: starts once everything above exists
};

TViewSenders::TViewSenders(const TSettingsHolder& settings, int threads) {
  if (threads <= 0)
    threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
  FEnds = std::make_unique<TEndThreads>(FCount);
  for (int i = 0; i < threads; ++i)
    FThreads.push_back(std::make_unique<TSenderThread>(settings, *FEnds, DueStep * i / threads));
}

TViewSenders::~TViewSenders() {
  FThreads.clear();  // first: they hand their last viewers to the end threads
}

void TViewSenders::Add(TIdPeerThread& session, std::unique_ptr<TQueuedOutput> output,
                       std::unique_ptr<TViewStreamer> streamer, TEnd end) {
  auto viewer = std::make_unique<TViewer>();
  viewer->Peer = session.HandOver();
  viewer->Output = std::move(output);
  viewer->Streamer = std::move(streamer);
  viewer->End = std::move(end);
  FCount.fetch_add(1);
  FThreads[FNext.fetch_add(1) % FThreads.size()]->Add(std::move(viewer));
}
