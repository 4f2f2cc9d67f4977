#include "status/BoundedTaskQueue.h"

#include <chrono>
#include <utility>

TBoundedTaskQueue::TBoundedTaskQueue(std::size_t workers, std::size_t waiting,
                                     std::function<bool()> stopped)
    : FPool(workers), FStopped(std::move(stopped)), FFree(workers + waiting) {}

void TBoundedTaskQueue::enqueue(std::function<void()> fn) {
  {
    std::unique_lock<std::mutex> lock(FLock);
    // Polled, since nothing signals the server's stop to this queue.
    while (FFree == 0 && !FStopped()) FChanged.wait_for(lock, std::chrono::milliseconds(100));
    if (FFree > 0)
      --FFree;
    else
      ++FOver;
  }
  FPool.enqueue([this, fn = std::move(fn)] {
    // The slot comes back however the job ends.
    struct TDone {
      TBoundedTaskQueue* Queue;
      ~TDone() { Queue->Release(); }
    } done{this};
    fn();
  });
}

void TBoundedTaskQueue::shutdown() {
  FPool.shutdown();
}

void TBoundedTaskQueue::Release() {
  {
    std::lock_guard<std::mutex> lock(FLock);
    if (FOver > 0)
      --FOver;
    else
      ++FFree;
  }
  FChanged.notify_one();
}
