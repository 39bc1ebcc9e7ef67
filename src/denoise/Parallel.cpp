#include "Parallel.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace NParallel {

int threadCount() {
  if (const char* text = std::getenv("OMP_NUM_THREADS")) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end != text && value > 0) return value > 256 ? 256 : static_cast<int>(value);
  }
  const unsigned processors = std::thread::hardware_concurrency();
  return processors > 0 ? static_cast<int>(processors) : 1;
}

void parallelFor(int aCount, const std::function<void(int)>& aTask) {
  const int threads = std::min(threadCount(), aCount);
  if (threads <= 1) {
    for (int i = 0; i < aCount; ++i) aTask(i);
    return;
  }
  std::atomic<int> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex errorMutex;
  const auto work = [&] {
    for (;;) {
      const int i = next.fetch_add(1);
      if (i >= aCount || failed.load()) return;
      try {
        aTask(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(errorMutex);
        if (!error) error = std::current_exception();
        failed.store(true);
      }
    }
  };
  std::vector<std::thread> helpers;
  try {
    for (int t = 1; t < threads; ++t) helpers.emplace_back(work);
  } catch (...) {
    // Fewer threads than wanted: the ones running finish the work.
  }
  work();
  for (std::thread& t : helpers) t.join();
  if (error) std::rethrow_exception(error);
}

CTaskQueue::CTaskQueue(int aWorkers) {
  for (int t = 0; t < aWorkers; ++t) {
    try {
      mThreads.emplace_back([this] { work(); });
    } catch (...) {
      break;  // the producer runs whatever no worker takes
    }
  }
}

CTaskQueue::~CTaskQueue() {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mStopping = true;
    mTasks.clear();
  }
  mWake.notify_all();
  for (std::thread& t : mThreads) t.join();
}

void CTaskQueue::submit(std::function<void()> aTask) {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mError) return;  // a task failed: the rest is moot
    mTasks.push_back(std::move(aTask));
  }
  mWake.notify_one();
}

bool CTaskQueue::runOne(std::unique_lock<std::mutex>& aLock) {
  if (mTasks.empty()) return false;
  std::function<void()> task = std::move(mTasks.front());
  mTasks.pop_front();
  ++mRunning;
  aLock.unlock();
  std::exception_ptr error;
  try {
    task();
  } catch (...) {
    error = std::current_exception();
  }
  task = nullptr;
  aLock.lock();
  --mRunning;
  if (error && !mError) {
    mError = error;
    mTasks.clear();
  }
  if (mTasks.empty() && mRunning == 0) mIdle.notify_all();
  return true;
}

void CTaskQueue::work() {
  std::unique_lock<std::mutex> lock(mMutex);
  for (;;) {
    mWake.wait(lock, [this] { return mStopping || !mTasks.empty(); });
    if (mStopping) return;
    runOne(lock);
  }
}

void CTaskQueue::finish() {
  std::unique_lock<std::mutex> lock(mMutex);
  while (runOne(lock)) {
  }
  mIdle.wait(lock, [this] { return mTasks.empty() && mRunning == 0; });
  if (mError) {
    std::exception_ptr error = mError;
    mError = nullptr;
    std::rethrow_exception(error);
  }
}

}  // namespace NParallel
