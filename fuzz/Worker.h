// One long-lived thread that runs the jobs given to it, one at a time. fuzz_reader uses it for
// the writer of each input, whose chunks may be more than a socket holds: starting a thread
// per input would cost more than the input's whole run.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace fuzz {

class TWorker {
 public:
  TWorker();
  // Waits for a job still running, then ends the thread.
  ~TWorker();
  TWorker(const TWorker&) = delete;
  TWorker& operator=(const TWorker&) = delete;

  // Starts Job on the thread; the previous job must have been waited for.
  void Post(std::function<void()> job);
  // Waits for the posted job to return; aborts after 20 s, as a hung run.
  void Wait();
  // True once the posted job has returned, waiting for it at most Limit.
  bool WaitFor(std::chrono::milliseconds limit);

 private:
  void Loop();

  std::mutex FLock;
  std::condition_variable FChanged;
  std::function<void()> FJob;  // FLock; empty while idle
  bool FStop = false;          // FLock
  std::thread FThread;
};

}  // namespace fuzz
