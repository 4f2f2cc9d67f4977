// The status page's connection queue: a few threads, a few waiting, and no more.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

// Runs connections on a few threads and lets only a few more wait. Past that the listening
// thread waits, so further connections stay in the kernel's queue and take no descriptor of
// the process; the library's own pool would queue every accepted socket.
class TBoundedTaskQueue : public httplib::TaskQueue {
 public:
  // Stopped tells that the server is stopping: from then on nothing is held back.
  TBoundedTaskQueue(std::size_t workers, std::size_t waiting, std::function<bool()> stopped);

  // Runs Fn on a worker; waits first while Workers + Waiting jobs are under way.
  void enqueue(std::function<void()> fn) override;
  // Runs what is queued and joins the workers.
  void shutdown() override;

 private:
  void Release();

  httplib::ThreadPool FPool;
  const std::function<bool()> FStopped;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::size_t FFree;      // guarded by FLock: jobs that may still be taken on
  std::size_t FOver = 0;  // guarded by FLock: taken on past the bound while stopping
};
