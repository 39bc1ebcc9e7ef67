// How long a cache line takes to go from one processor to another and back:
// two threads, each held to one of the first two processors this process may
// use, pass a counter back and forth. About 50 ns where the two share a
// cache; several times that where they do not, which a virtual machine's two
// processors sometimes do for a while. texture's two threads hand data over
// all the time, so its times are only comparable between runs made in the
// same state (bench/compare_speed.sh prints it).
//
// usage: roundtrip [TRIPS]   (default 200000)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#endif

namespace {

#ifdef __linux__
bool holdTo(int aCpu) {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(aCpu, &one);
  return pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
}
#endif

// The ball alone on its cache line.
struct alignas(64) CBall {
  std::atomic<long> value{0};
  char rest[64 - sizeof(std::atomic<long>)];
};
CBall gBall;

}  // namespace

int main(int aCount, char** aValues) {
#ifdef __linux__
  const long trips = aCount > 1 ? std::strtol(aValues[1], nullptr, 10) : 200000;
  if (trips < 1) {
    std::fprintf(stderr, "roundtrip: TRIPS must be a positive number\n");
    return 2;
  }
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
    std::fprintf(stderr, "roundtrip: cannot read the processors this process may use\n");
    return 1;
  }
  int cpus[2] = {-1, -1}, found = 0;
  for (int cpu = 0; cpu < CPU_SETSIZE && found < 2; ++cpu)
    if (CPU_ISSET(cpu, &allowed)) cpus[found++] = cpu;
  if (found < 2) {
    std::printf("one processor: no round trip to measure\n");
    return 0;
  }
  std::atomic<long>& ball = gBall.value;
  std::atomic<bool> ready{false};
  bool held = true;
  std::thread other([&ball, &ready, &held, trips, cpus] {
    held = holdTo(cpus[1]);
    ready.store(true, std::memory_order_release);
    if (!held) return;
    for (long i = 0; i < trips; ++i) {
      while (ball.load(std::memory_order_acquire) != 2 * i + 1) {
      }
      ball.store(2 * i + 2, std::memory_order_release);
    }
  });
  const bool here = holdTo(cpus[0]);
  while (!ready.load(std::memory_order_acquire)) {
  }
  if (!here || !held) {
    // The other thread waits for a ball that will not come: let it go.
    if (held) {
      std::fprintf(stderr, "roundtrip: cannot hold a thread to processor %d\n", cpus[0]);
      std::_Exit(1);
    }
    other.join();
    std::fprintf(stderr, "roundtrip: cannot hold a thread to processor %d\n", cpus[1]);
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < trips; ++i) {
    ball.store(2 * i + 1, std::memory_order_release);
    while (ball.load(std::memory_order_acquire) != 2 * i + 2) {
    }
  }
  const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  other.join();
  std::printf("cache line round trip between processors %d and %d: %.0f ns\n", cpus[0], cpus[1], ns / trips);
  return 0;
#else
  (void)aCount;
  (void)aValues;
  std::printf("roundtrip: only on Linux\n");
  return 0;
#endif
}
