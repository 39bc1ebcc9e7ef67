// Threads for the denoisers. Work is split over independent pixels, leaves or
// blocks, each writing only its own output, so results never depend on the
// number of threads or on scheduling.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace NParallel {

// Number of threads to use: OMP_NUM_THREADS when it holds a positive number,
// otherwise the number of processors.
int threadCount();

// False when OMP_WAIT_POLICY is "passive" (in any case): idle threads then
// sleep at once instead of watching for work for a moment first.
bool watchWhenIdle();

// Runs aTask(i) for i = 0 .. aCount - 1 on up to threadCount() threads (the
// caller's among them). The first exception thrown by a task is rethrown
// after all threads have stopped. When aDone is set, the calling thread (and
// only it) calls aDone(n) after each task it has run itself, n being the
// number of tasks finished by all threads so far, and aDone(aCount) at the
// end; it must not throw.
void parallelFor(int aCount, const std::function<void(int)>& aTask, const std::function<void(int)>& aDone = {});

// A pool of worker threads fed through a queue, for work that is produced
// while other work runs (leaves as a tree is being built). The producer calls
// finish() to help with the rest and wait; the first exception of a task is
// rethrown there. Destroying the pool without finish() discards queued tasks.
class CTaskQueue {
public:
  explicit CTaskQueue(int aWorkers);
  ~CTaskQueue();
  CTaskQueue(const CTaskQueue&) = delete;
  CTaskQueue& operator=(const CTaskQueue&) = delete;

  void submit(std::function<void()> aTask);
  // Queues aTask ahead of every waiting task: the next worker that comes free
  // takes it. For short work the producer waits on (it should also be able to
  // do that work itself, in case no worker comes free in time).
  void submitFirst(std::function<void()> aTask);
  // When aTick is set, the producer calls it (without holding the queue)
  // after each task it runs itself, about ten times a second while it waits
  // for the workers, and once when all are done; it must not throw.
  void finish(const std::function<void()>& aTick = {});
  // Number of worker threads besides the producer.
  int workers() const { return static_cast<int>(mThreads.size()); }
  // The number of tasks waiting, as last seen (read without the lock).
  std::size_t waiting() const { return mQueued.load(std::memory_order_relaxed); }
  // How long a cache line takes to go from the producer to a worker and
  // back, in nanoseconds: the mean of a few round trips while both spin,
  // the worker held meanwhile to a processor other than the producer's.
  // Some 50 where the two share a cache, several times that where they do
  // not (a virtual machine's processors may lie apart for a while). 0 where
  // it cannot tell: without workers or a second processor, when no worker
  // came within a few milliseconds, or off Linux. For the producer, before it
  // queues anything else; costs it about as long as a worker takes to come.
  // It also gets that worker going on another processor than the producer's
  // at once: a new thread often starts on its creator's, and may wait there
  // a millisecond or more before it is moved.
  double roundTrip();

private:
  void enqueue(std::function<void()> aTask, bool aFirst);
  void work();
  bool runOne(std::unique_lock<std::mutex>& aLock);

  std::mutex mMutex;
  std::condition_variable mWake;
  std::condition_variable mIdle;
  std::deque<std::function<void()>> mTasks;
  // mTasks.size() and mStopping, readable without the lock: an idle worker
  // watches them for a moment before it sleeps, so that work handed over
  // right after is taken without the delay of a wake-up.
  std::atomic<std::size_t> mQueued{0};
  std::atomic<bool> mStoppingSoon{false};
  const bool mWatch;
  int mRunning = 0;
  bool mStopping = false;
  std::exception_ptr mError;
  std::vector<std::thread> mThreads;
};

// Short work that a producer posts for threads that are in the middle of a
// long task: they look for it between the steps of their task, so that the
// producer need not wait for the task to end (idle threads take it from the
// queue, CTaskQueue::submitFirst). A posted task may run on several threads,
// and late, after its poster has stopped waiting: it must then find nothing
// left to do.
class CHelpDesk {
public:
  void post(std::shared_ptr<const std::function<void()>> aTask);
  // Runs the latest posting unless this thread ran it already (aSeen: the
  // caller's count of postings seen). Costs one atomic load when nothing new
  // was posted.
  void help(unsigned& aSeen) {
    const unsigned posted = mPosted.load(std::memory_order_acquire);
    if (posted != aSeen) helpWith(aSeen);
  }

private:
  void helpWith(unsigned& aSeen);

  std::atomic<unsigned> mPosted{0};
  std::mutex mMutex;
  std::shared_ptr<const std::function<void()>> mTask;
};

}  // namespace NParallel
