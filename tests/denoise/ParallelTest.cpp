// The task queue that carries leaves and shared node work between threads.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#endif

#include "Parallel.h"

namespace {

// Without workers the producer runs everything in finish(), in queue order:
// a task queued first runs ahead of every task already waiting.
TEST(TaskQueue, SubmitFirstGoesAheadOfWaitingTasks) {
  NParallel::CTaskQueue queue(0);
  std::vector<int> order;
  queue.submit([&] { order.push_back(1); });
  queue.submit([&] { order.push_back(2); });
  queue.submitFirst([&] { order.push_back(0); });
  queue.finish();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST(TaskQueue, EveryTaskRunsOnceWhetherIdleWorkersWatchOrSleep) {
  for (const char* policy : {"active", "Passive"}) {
    ::setenv("OMP_WAIT_POLICY", policy, 1);
    std::atomic<int> ran{0};
    {
      NParallel::CTaskQueue queue(3);
      for (int i = 0; i < 2000; ++i) {
        if (i % 3 == 0)
          queue.submitFirst([&] { ran.fetch_add(1); });
        else
          queue.submit([&] { ran.fetch_add(1); });
      }
      queue.finish();
    }
    EXPECT_EQ(ran.load(), 2000) << policy;
  }
  ::unsetenv("OMP_WAIT_POLICY");
}

// A busy thread that looks in takes each posting once, only the latest, and
// nothing when nothing new was posted.
TEST(HelpDesk, EachPostingIsTakenOnceByEachThread) {
  NParallel::CHelpDesk desk;
  unsigned seen = 0;
  desk.help(seen);  // nothing posted yet
  std::vector<int> ran;
  desk.post(std::make_shared<const std::function<void()>>([&] { ran.push_back(1); }));
  desk.help(seen);
  desk.help(seen);
  desk.post(std::make_shared<const std::function<void()>>([&] { ran.push_back(2); }));
  desk.post(std::make_shared<const std::function<void()>>([&] { ran.push_back(3); }));
  desk.help(seen);
  desk.help(seen);
  unsigned otherThread = 0;
  desk.help(otherThread);
  EXPECT_EQ(ran, (std::vector<int>{1, 3, 3}));
}

// Threads that look in while the poster works share its jobs; each job runs
// exactly once, and late helpers find nothing left.
TEST(HelpDesk, HelpersShareJobsThatRunOnce) {
  NParallel::CHelpDesk desk;
  std::atomic<bool> stop{false};
  std::vector<std::thread> helpers;
  for (int t = 0; t < 3; ++t)
    helpers.emplace_back([&] {
      unsigned seen = 0;
      while (!stop.load()) desk.help(seen);
    });
  for (int round = 0; round < 200; ++round) {
    constexpr int kJobs = 64;
    auto counts = std::make_shared<std::vector<std::atomic<int>>>(kJobs);
    auto next = std::make_shared<std::atomic<int>>(0);
    auto done = std::make_shared<std::atomic<int>>(0);
    auto work = std::make_shared<const std::function<void()>>([counts, next, done] {
      for (int j = next->fetch_add(1); j < kJobs; j = next->fetch_add(1)) {
        (*counts)[static_cast<std::size_t>(j)].fetch_add(1);
        done->fetch_add(1);
      }
    });
    desk.post(work);
    (*work)();
    while (done->load() < kJobs) std::this_thread::yield();
    for (const std::atomic<int>& count : *counts) ASSERT_EQ(count.load(), 1) << "round " << round;
  }
  stop.store(true);
  for (std::thread& helper : helpers) helper.join();
}

// The round trip is measured with the worker held to another processor for a
// moment; afterwards it may run wherever it could before, and the pool works
// on as usual.
TEST(TaskQueue, RoundTripLeavesTheWorkerAsItWas) {
  NParallel::CTaskQueue alone(0);
  EXPECT_EQ(alone.roundTrip(), 0.0);
  NParallel::CTaskQueue queue(1);
  for (int twice = 0; twice < 2; ++twice) {
    const double roundTrip = queue.roundTrip();
    EXPECT_GE(roundTrip, 0.0);
    EXPECT_LT(roundTrip, 1e6);  // each side waits a millisecond at most
  }
#ifdef __linux__
  cpu_set_t process;
  CPU_ZERO(&process);
  ASSERT_EQ(sched_getaffinity(0, sizeof process, &process), 0);
  // Read by the worker, not by this thread (which runs what is left in finish).
  std::atomic<int> same{-1};
  const std::thread::id producer = std::this_thread::get_id();
  queue.submit([&] {
    if (std::this_thread::get_id() == producer) return;
    cpu_set_t worker;
    CPU_ZERO(&worker);
    const bool read = pthread_getaffinity_np(pthread_self(), sizeof worker, &worker) == 0;
    same.store(read && CPU_EQUAL(&worker, &process) ? 1 : 0);
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (same.load() < 0 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  queue.finish();
  EXPECT_EQ(same.load(), 1);
#endif
}

TEST(TaskQueue, FirstExceptionReachesFinish) {
  NParallel::CTaskQueue queue(1);
  queue.submit([] { throw std::runtime_error("task failed"); });
  EXPECT_THROW(queue.finish(), std::runtime_error);
}

TEST(Parallel, WaitPolicyAndThreadCountFromTheEnvironment) {
  ::unsetenv("OMP_WAIT_POLICY");
  EXPECT_TRUE(NParallel::watchWhenIdle());
  ::setenv("OMP_WAIT_POLICY", "PASSIVE", 1);
  EXPECT_FALSE(NParallel::watchWhenIdle());
  ::setenv("OMP_WAIT_POLICY", "active", 1);
  EXPECT_TRUE(NParallel::watchWhenIdle());
  ::unsetenv("OMP_WAIT_POLICY");

  const char* old = std::getenv("OMP_NUM_THREADS");
  const std::string saved = old ? old : "";
  ::setenv("OMP_NUM_THREADS", "3", 1);
  EXPECT_EQ(NParallel::threadCount(), 3);
  ::setenv("OMP_NUM_THREADS", "0", 1);
  EXPECT_GE(NParallel::threadCount(), 1);
  ::setenv("OMP_NUM_THREADS", "abc", 1);
  EXPECT_GE(NParallel::threadCount(), 1);
  if (old)
    ::setenv("OMP_NUM_THREADS", saved.c_str(), 1);
  else
    ::unsetenv("OMP_NUM_THREADS");
}

}  // namespace
