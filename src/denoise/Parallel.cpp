#include "Parallel.h"

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

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

namespace {

void pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

}  // namespace

double CTaskQueue::roundTrip() {
#ifdef __linux__
  if (mThreads.empty()) return 0.0;
  using Clock = std::chrono::steady_clock;
  // The ball on a line of its own. The worker moves to a processor other
  // than the producer's (a new thread often starts on its creator's, where
  // the two could not play) and goes back to its own set afterwards. Either
  // side may give up (the worker when it finds no other processor, both
  // after a millisecond without an answer); the state tells the other.
  struct CRally {
    alignas(64) std::atomic<int> ball{0};
    alignas(64) std::atomic<int> state{kWaiting};
    std::atomic<int> workerCpu{-1};
    enum : int { kWaiting, kCame, kAbandoned };
  };
  constexpr int kTrips = 32;
  const auto rally = std::make_shared<CRally>();
  const auto waitFor = [](const std::atomic<int>& aValue, int aWanted, Clock::time_point aUntil) {
    for (int spin = 1; aValue.load(std::memory_order_acquire) != aWanted; ++spin) {
      if (spin % 256 == 0 && Clock::now() > aUntil) return false;
      pause();
    }
    return true;
  };
  const auto abandon = [](CRally& aRally) {
    int waiting = CRally::kWaiting;
    return aRally.state.compare_exchange_strong(waiting, CRally::kAbandoned, std::memory_order_acq_rel);
  };
  const int producerCpu = sched_getcpu();
  submitFirst([rally, waitFor, abandon, producerCpu] {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    int other = -1;
    if (producerCpu >= 0 && pthread_getaffinity_np(pthread_self(), sizeof allowed, &allowed) == 0)
      for (int cpu = 0; cpu < CPU_SETSIZE && other < 0; ++cpu)
        if (cpu != producerCpu && CPU_ISSET(cpu, &allowed)) other = cpu;
    cpu_set_t away;
    CPU_ZERO(&away);
    if (other >= 0) CPU_SET(other, &away);
    if (other < 0 || pthread_setaffinity_np(pthread_self(), sizeof away, &away) != 0) {
      abandon(*rally);
      return;
    }
    struct CBack {
      const cpu_set_t& allowed;
      ~CBack() { pthread_setaffinity_np(pthread_self(), sizeof allowed, &allowed); }
    } back{allowed};
    rally->workerCpu.store(sched_getcpu(), std::memory_order_relaxed);
    int waiting = CRally::kWaiting;
    if (!rally->state.compare_exchange_strong(waiting, CRally::kCame, std::memory_order_acq_rel)) return;
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(1);
    for (int i = 0; i < kTrips; ++i) {
      if (!waitFor(rally->ball, 2 * i + 1, until)) return;
      rally->ball.store(2 * i + 2, std::memory_order_release);
    }
  });
  // Asleep meanwhile, so that a worker started on this processor can run.
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(5);
  while (rally->state.load(std::memory_order_acquire) == CRally::kWaiting) {
    if (Clock::now() > until && abandon(*rally)) return 0.0;
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  }
  // Given up, or this thread moved while asleep to where the worker went.
  if (rally->state.load(std::memory_order_acquire) != CRally::kCame ||
      sched_getcpu() == rally->workerCpu.load(std::memory_order_relaxed))
    return 0.0;
  const Clock::time_point start = Clock::now(), deadline = start + std::chrono::milliseconds(1);
  for (int i = 0; i < kTrips; ++i) {
    rally->ball.store(2 * i + 1, std::memory_order_release);
    if (!waitFor(rally->ball, 2 * i + 2, deadline)) return 0.0;
  }
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kTrips;
#else
  return 0.0;
#endif
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
