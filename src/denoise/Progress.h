// Hands the progress of one phase of a denoising method to the hook
// CNLMeans::progress, if one is set. Called on the method's calling thread
// only; passes a new fraction on only when it has grown by a thousandth, so
// that callers may report after every leaf, row or block.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace NLMeansProgress {

using Hook = std::function<void(const char*, double)>;

class CPhase {
public:
  // aTotal: the amount of work that makes the phase complete (above 0).
  CPhase(const Hook& aHook, const char* aPhase, double aTotal) : mHook(aHook), mPhase(aPhase), mTotal(aTotal) {}
  bool active() const { return static_cast<bool>(mHook); }
  // aDone of the total amount is done.
  void report(double aDone) {
    if (!mHook) return;
    const double fraction = mTotal > 0.0 ? (aDone < mTotal ? aDone / mTotal : 1.0) : 1.0;
    if (mReported >= 0.0 && fraction < mReported + 0.001 && fraction < 1.0) return;
    if (fraction <= mReported) return;
    mReported = fraction;
    mHook(mPhase, fraction);
  }

private:
  const Hook& mHook;
  const char* mPhase;
  double mTotal;
  double mReported = -1.0;
};

// For NParallel::parallelFor: reports the number of finished tasks to
// aPhase (whose total is the task count); empty when no hook is set, so that
// the loop then reports nothing at all.
inline std::function<void(int)> tasksDone(CPhase& aPhase) {
  if (!aPhase.active()) return {};
  return [&aPhase](int aDone) { aPhase.report(aDone); };
}

// Work counted in units (rows, say) on any thread, reported to aPhase from
// the thread that made the counter only, as it goes: for tasks too long to
// report only when each ends.
class CCounter {
public:
  explicit CCounter(CPhase& aPhase) : mPhase(aPhase), mCaller(std::this_thread::get_id()) {}
  // aDone more units are done; on the making thread this also reports.
  void add(long long aDone) {
    const long long done = mDone.fetch_add(aDone, std::memory_order_relaxed) + aDone;
    if (mPhase.active() && std::this_thread::get_id() == mCaller) mPhase.report(static_cast<double>(done));
  }
  // For NParallel::parallelFor: reports the units done so far after each
  // task of the calling thread and at the end; empty without a hook.
  std::function<void(int)> tasksDone() {
    if (!mPhase.active()) return {};
    return [this](int) { mPhase.report(static_cast<double>(mDone.load(std::memory_order_relaxed))); };
  }

private:
  CPhase& mPhase;
  std::thread::id mCaller;
  std::atomic<long long> mDone{0};
};

}  // namespace NLMeansProgress
