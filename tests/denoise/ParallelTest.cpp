// The task queue that carries leaves and shared node work between threads.
#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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
