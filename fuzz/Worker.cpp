#include "Worker.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

TWorker::TWorker() : FThread([this] { Loop(); }) {}

TWorker::~TWorker() {
  {
    std::unique_lock<std::mutex> lock(FLock);
    FChanged.wait(lock, [this] { return !FJob; });
    FStop = true;
  }
  FChanged.notify_all();
  FThread.join();
}

void TWorker::Post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FJob = std::move(job);
  }
  FChanged.notify_all();
}

void TWorker::Wait() {
  std::unique_lock<std::mutex> lock(FLock);
  if (FChanged.wait_for(lock, std::chrono::seconds(20), [this] { return !FJob; })) return;
  std::fprintf(stderr, "fuzz worker: a job did not return within 20 s\n");
  std::abort();
}

bool TWorker::WaitFor(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(FLock);
  return FChanged.wait_for(lock, limit, [this] { return !FJob; });
}

void TWorker::Loop() {
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    FChanged.wait(lock, [this] { return FStop || FJob; });
    if (FStop) return;
    lock.unlock();
    FJob();
    lock.lock();
    FJob = nullptr;
    FChanged.notify_all();
  }
}

}  // namespace fuzz
