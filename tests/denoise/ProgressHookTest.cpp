// CNLMeans::progress: called only on the calling thread, with fractions that
// grow to 1 within each phase, and without changing a bit of any result or
// a draw of the random sequence.
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CNLMeans.h"
#include "TestSupport.h"

namespace {

using TestSupport::CThreads;

struct CCall {
  std::thread::id thread;
  std::string phase;
  double fraction;
};

using Method = std::function<void(CNLMeans&, CMatrix<float>&, CMatrix<float>&)>;

struct CMethod {
  const char* name;
  Method run;
  std::vector<std::string> phases;  // in order
};

const std::vector<CMethod>& methods() {
  static const std::vector<CMethod> all = {
      {"clusterTreeGlobal", [](CNLMeans& n, CMatrix<float>& i, CMatrix<float>& r) { n.clusterTreeGlobal(i, r, 20, 0); },
       {"building the tree", "denoising"}},
      {"clusterTreeLocal", [](CNLMeans& n, CMatrix<float>& i, CMatrix<float>& r) { n.clusterTreeLocal(i, r, 20, 0); },
       {"building the tree", "denoising"}},
      {"standardNLMeans", [](CNLMeans& n, CMatrix<float>& i, CMatrix<float>& r) { n.standardNLMeans(i, r, 20); },
       {"denoising"}},
      {"preselection", [](CNLMeans& n, CMatrix<float>& i, CMatrix<float>& r) { n.preselection(i, r, 20); },
       {"denoising"}},
      {"gridding", [](CNLMeans& n, CMatrix<float>& i, CMatrix<float>& r) { n.gridding(i, r, 20, 1); },
       {"denoising"}},
      {"sampling", [](CNLMeans& n, CMatrix<float>& i, CMatrix<float>& r) { n.sampling(i, r, 20, 30); },
       {"denoising"}},
      {"sortingCriterion", [](CNLMeans& n, CMatrix<float>& i, CMatrix<float>& r) { n.sortingCriterion(i, r, 10); },
       {"denoising"}},
      {"gilboaOsherBuildWeights", [](CNLMeans& n, CMatrix<float>& i, CMatrix<float>&) {
         n.gilboaOsherBuildWeights(i, 20);
       },
       {"building the graph"}},
  };
  return all;
}

CNLMeans denoiser() {
  CNLMeans nl;
  nl.patchRadius = 3;
  nl.searchRadius = 6;
  nl.filterFactor = 0.5f;
  return nl;
}

TEST(ProgressHook, CalledOnTheCallingThreadWithFractionsGrowingToOne) {
  const CMatrix<float> input = TestSupport::noisyImage(96, 80, 21);
  for (int threads : {1, 3}) {
    CThreads environment(threads);
    for (const CMethod& method : methods()) {
      SCOPED_TRACE(std::string(method.name) + ", " + std::to_string(threads) + " threads");
      std::vector<CCall> calls;
      CNLMeans nl = denoiser();
      nl.progress = [&calls](const char* aPhase, double aFraction) {
        calls.push_back({std::this_thread::get_id(), aPhase, aFraction});
      };
      CMatrix<float> in(input), result(input);
      method.run(nl, in, result);
      ASSERT_FALSE(calls.empty());
      std::vector<std::string> phases;
      for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].thread, std::this_thread::get_id());
        EXPECT_GE(calls[i].fraction, 0.0);
        EXPECT_LE(calls[i].fraction, 1.0);
        const bool samePhase = i > 0 && calls[i].phase == calls[i - 1].phase;
        if (samePhase) {
          EXPECT_GT(calls[i].fraction, calls[i - 1].fraction) << calls[i].phase;
        }
        if (!samePhase) phases.push_back(calls[i].phase);
        const bool lastOfPhase = i + 1 == calls.size() || calls[i + 1].phase != calls[i].phase;
        if (lastOfPhase) {
          EXPECT_EQ(calls[i].fraction, 1.0) << calls[i].phase;
        }
      }
      EXPECT_EQ(phases, method.phases);
    }
  }
}

// The methods that run in a few long bands of rows report row by row, not
// only when a band ends (one thread: a single band).
TEST(ProgressHook, BandsReportRowByRow) {
  const CMatrix<float> input = TestSupport::noisyImage(40, 200, 23);
  CThreads environment(1);
  for (const CMethod& method : methods()) {
    const std::string name = method.name;
    if (name != "standardNLMeans" && name != "preselection" && name != "sortingCriterion" &&
        name != "gilboaOsherBuildWeights")
      continue;
    int calls = 0;
    CNLMeans nl = denoiser();
    nl.progress = [&calls](const char*, double) { ++calls; };
    CMatrix<float> in(input), result(input);
    method.run(nl, in, result);
    EXPECT_GT(calls, 50) << name;
  }
}

// Runs aRun in a child forked from this process's state of the random
// sequence; returns the bytes of its result followed by the next rand()
// value, which shows how often it drew.
std::string inChild(const std::function<CMatrix<float>()>& aRun) {
  int ends[2];
  if (::pipe(ends) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ends[0]);
    const CMatrix<float> result = aRun();
    std::string bytes(reinterpret_cast<const char*>(result.data()), sizeof(float) * result.size());
    bytes += std::to_string(std::rand());
    const bool ok = ::write(ends[1], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::_exit(ok ? 0 : 1);
  }
  ::close(ends[1]);
  std::string bytes;
  char buffer[4096];
  for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) bytes.append(buffer, static_cast<std::size_t>(n));
  ::close(ends[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return bytes;
}

TEST(ProgressHook, ResultsAndDrawsDoNotChange) {
  const CMatrix<float> input = TestSupport::noisyImage(73, 61, 22);
  for (int threads : {1, 3}) {
    CThreads environment(threads);
    for (const CMethod& method : methods()) {
      SCOPED_TRACE(std::string(method.name) + ", " + std::to_string(threads) + " threads");
      const auto run = [&](bool aHook) {
        return inChild([&] {
          CNLMeans nl = denoiser();
          if (aHook) nl.progress = [](const char*, double) {};
          CMatrix<float> in(input), result(input);
          method.run(nl, in, result);
          if (nl.weights.size() > 0) nl.gilboaOsherFilter(result);  // the graph shows in a step
          return result;
        });
      };
      const std::string without = run(false);
      EXPECT_GT(without.size(), sizeof(float) * input.size());
      EXPECT_TRUE(without == run(true));
    }
  }
}

}  // namespace
