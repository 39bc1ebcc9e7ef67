// Compares the batched exponential with the C library's expf on every float
// (on both processors' worth of threads), and prints how many differ.
// Usage: expcheck [threads]
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "ExpKernels.h"

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : static_cast<int>(std::thread::hardware_concurrency());
  const int parts = threads > 0 ? threads : 1;
  const long long all = 1LL << 32, part = all / parts;
  std::vector<long long> differences(parts, 0);
  std::vector<std::thread> workers;
  for (int t = 0; t < parts; ++t)
    workers.emplace_back([&, t] {
      const long long first = t * part, count = t + 1 == parts ? all - first : part;
      differences[t] = NExpKernels::compareWithLibrary(static_cast<std::uint64_t>(first), 1, count);
    });
  long long total = 0;
  for (int t = 0; t < parts; ++t) {
    workers[t].join();
    total += differences[t];
  }
  std::printf("vector path %s; %lld of all floats differ from expf\n",
              NExpKernels::usesVector() ? "in use" : "not in use", total);
  return total == 0 ? 0 : 1;
}
