// A small fixed set of sender threads that drive every streaming viewer from a timer, so a
// viewer costs no thread of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/FileUtil.h"
#include "common/Settings.h"
#include "net/IdTCPServer.h"
#include "net/QueuedOutput.h"
#include "view/ViewStreamer.h"

class TViewSenders {
 public:
  // Why a session ended, as plain values: an exception object is never handed to another
  // thread.
  struct TEndReason {
    std::string Text;      // the error's message
    bool Timeout = false;  // a deadline ran out: an expected end, not an error
  };
  // Runs a session's end steps; Reason is null after a normal end.
  using TEnd = std::function<void(const TEndReason* reason)>;

  // Threads 0 takes one per processor. Settings give the send time-out, read as it changes.
  explicit TViewSenders(const TSettingsHolder& settings, int threads = 0);
  // Threads that run the end steps of viewers that have ended, so that thousands ending at
  // once (at shutdown) share their info file writes and keep no sender thread from its cycles.
  static constexpr int EndThreads = 16;
  // Stops the threads; a viewer still held then ends as if its connection had been closed.
  ~TViewSenders();
  TViewSenders(const TViewSenders&) = delete;
  TViewSenders& operator=(const TViewSenders&) = delete;

  // Takes Session over from its thread (which then ends): its cycles run CycleMs after the
  // previous one is done, as they would on its own thread, until the streamer ends or raises,
  // or Output stays stalled for SendTimeout seconds (EIdSessionTimeout "Send timeout"); then
  // End runs and the session finishes. Streamer writes its messages to Output.
  void Add(TIdPeerThread& session, std::unique_ptr<TQueuedOutput> output,
           std::unique_ptr<TViewStreamer> streamer, TEnd end);
  // Viewers held now.
  std::size_t Count() const { return FCount.load(); }

 private:
  struct TViewer;
  class TSenderThread;
  class TEndThreads;

  std::unique_ptr<TEndThreads> FEnds;  // outlives the sender threads, which hand it viewers
  std::vector<std::unique_ptr<TSenderThread>> FThreads;
  std::atomic<std::size_t> FNext{0};
  std::atomic<std::size_t> FCount{0};
};
