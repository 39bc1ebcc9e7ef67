#include "Parallel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cstdlib>
#include <string>

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

bool watchWhenIdle() {
  const char* text = std::getenv("OMP_WAIT_POLICY");
  if (!text) return true;
  std::string policy(text);
  for (char& c : policy) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return policy != "passive";
}

void parallelFor(int aCount, const std::function<void(int)>& aTask, const std::function<void(int)>& aDone) {
  const int threads = std::min(threadCount(), aCount);
  if (threads <= 1) {
    for (int i = 0; i < aCount; ++i) {
      aTask(i);
      if (aDone) aDone(i + 1);
    }
    return;
  }
  std::atomic<int> next{0};
  std::atomic<int> finished{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex errorMutex;
  const auto work = [&](bool aCaller) {
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
      if (aDone) {
        const int done = finished.fetch_add(1, std::memory_order_relaxed) + 1;
        if (aCaller) aDone(done);
      }
    }
  };
  std::vector<std::thread> helpers;
  try {
    for (int t = 1; t < threads; ++t) helpers.emplace_back(work, false);
  } catch (...) {
    // Fewer threads than wanted: the ones running finish the work.
  }
  work(true);
  for (std::thread& t : helpers) t.join();
  if (error) std::rethrow_exception(error);
  if (aDone) aDone(aCount);
}

CTaskQueue::CTaskQueue(int aWorkers) : mWatch(watchWhenIdle()) {
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
    mStoppingSoon.store(true);
    mTasks.clear();
    mQueued.store(0);
  }
  mWake.notify_all();
  for (std::thread& t : mThreads) t.join();
}

void CTaskQueue::submit(std::function<void()> aTask) { enqueue(std::move(aTask), false); }

void CTaskQueue::submitFirst(std::function<void()> aTask) { enqueue(std::move(aTask), true); }

void CTaskQueue::enqueue(std::function<void()> aTask, bool aFirst) {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mError) return;  // a task failed: the rest is moot
    if (aFirst)
      mTasks.push_front(std::move(aTask));
    else
      mTasks.push_back(std::move(aTask));
    mQueued.store(mTasks.size(), std::memory_order_relaxed);
  }
  mWake.notify_one();
}

bool CTaskQueue::runOne(std::unique_lock<std::mutex>& aLock) {
  if (mTasks.empty()) return false;
  std::function<void()> task = std::move(mTasks.front());
  mTasks.pop_front();
  mQueued.store(mTasks.size(), std::memory_order_relaxed);
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
    mQueued.store(0, std::memory_order_relaxed);
  }
  if (mTasks.empty() && mRunning == 0) mIdle.notify_all();
  return true;
}

void CTaskQueue::work() {
  std::unique_lock<std::mutex> lock(mMutex);
  for (;;) {
    if (mWatch && mTasks.empty() && !mStopping) {
      // Out of work: watch for more for a little while (about 0.1 ms) before
      // sleeping. A sleeping thread takes far longer than that to wake.
      lock.unlock();
      const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(100);
      for (int spin = 1; mQueued.load(std::memory_order_relaxed) == 0 && !mStoppingSoon.load(std::memory_order_relaxed);
           ++spin) {
        if (spin % 64 == 0 && std::chrono::steady_clock::now() > until) break;
        std::this_thread::yield();
      }
      lock.lock();
    }
    mWake.wait(lock, [this] { return mStopping || !mTasks.empty(); });
    if (mStopping) return;
    runOne(lock);
  }
}

void CTaskQueue::finish(const std::function<void()>& aTick) {
  std::unique_lock<std::mutex> lock(mMutex);
  const auto tick = [&] {
    lock.unlock();
    aTick();
    lock.lock();
  };
  while (runOne(lock))
    if (aTick) tick();
  const auto idle = [this] { return mTasks.empty() && mRunning == 0; };
  if (aTick)
    while (!mIdle.wait_for(lock, std::chrono::milliseconds(100), idle)) tick();
  else
    mIdle.wait(lock, idle);
  // Once more when all is done: the workers may have finished everything
  // before the producer came to wait.
  if (aTick) tick();
  if (mError) {
    std::exception_ptr error = mError;
    mError = nullptr;
    std::rethrow_exception(error);
  }
}

void CHelpDesk::post(std::shared_ptr<const std::function<void()>> aTask) {
  std::lock_guard<std::mutex> lock(mMutex);
  mTask = std::move(aTask);
  mPosted.fetch_add(1, std::memory_order_release);
}

void CHelpDesk::helpWith(unsigned& aSeen) {
  std::shared_ptr<const std::function<void()>> task;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    task = mTask;
    // Seen up to what the lock shows: no later posting is missed.
    aSeen = mPosted.load(std::memory_order_relaxed);
  }
  if (task) (*task)();
}

}  // namespace NParallel
