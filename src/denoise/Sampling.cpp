#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "CNLMeans.h"
#include "CNLMeansCommon.h"
#include "CRandomDraws.h"
#include "GaussianDraws.h"
#include "NLMeansKernels.h"
#include "Parallel.h"
#include "Progress.h"

using namespace NLMeansCommon;

namespace {

// Draws made ahead of the pixels that take them, queued in sequence order in
// chunks. Only the rand() calls must stay in order on one thread; the
// transforms are pure, so any thread may work out a chunk, and the one that
// first claims it does. Every pixel takes at least `count` draws (it accepts
// that many or gives up after more failures than that), so drawing ahead no
// more than that many per pixel still to come never takes a value that a
// plain pass would not.
class CDrawQueue {
public:
  static constexpr int kChunk = 1024;
  struct CChunk {
    int raw[4 * kChunk];
    // The offsets of draw j (NGaussianDraws::gaussianOffset): from
    // (t1, u1) at 2j, from (t2, u2) at 2j + 1.
    int offsets[2 * kChunk];
    int size = 0;
    int radius = 1;
    std::atomic<int> state{kOpen};
  };

  CDrawQueue(CRandomDraws& aRandom, int aRadius) : mRandom(aRandom), mRadius(aRadius) {}

  // Queues aDraws more draws (four rand() calls each) behind those queued.
  void drawAhead(long long aDraws) {
    while (aDraws > 0) {
      // Default-initialised: the arrays are written before they are read.
      std::unique_ptr<CChunk> chunk(new CChunk);
      chunk->size = static_cast<int>(std::min<long long>(aDraws, kChunk));
      chunk->radius = mRadius;
      mRandom.drawMany(chunk->raw, 4 * chunk->size);
      aDraws -= chunk->size;
      mQueued += chunk->size;
      mChunks.push_back(std::move(chunk));
    }
  }
  long long queued() const { return mQueued; }
  // The chunks queued now. They stay in memory until releaseTaken.
  std::vector<CChunk*> chunks() const {
    std::vector<CChunk*> out;
    for (const auto& chunk : mChunks) out.push_back(chunk.get());
    return out;
  }
  // Works out aChunk's transforms unless another thread has claimed them;
  // returns whether this call did.
  static bool transform(CChunk& aChunk) {
    int open = kOpen;
    if (!aChunk.state.compare_exchange_strong(open, kClaimed, std::memory_order_acquire)) return false;
    NGaussianDraws::gaussianOffsets(aChunk.raw, 2 * aChunk.size, aChunk.radius, aChunk.offsets);
    aChunk.state.store(kDone, std::memory_order_release);
    return true;
  }
  // The queued draws of the front chunk not yet taken, transformed: points
  // aOffsets at the first one's x offset (its y offset follows, then the
  // next draw's) and returns how many there are, 0 when none is queued. They
  // stay queued until taken. Only the thread that queues draws takes them.
  int front(const int*& aOffsets) {
    if (mChunks.empty()) return 0;
    CChunk& front = *mChunks.front();
    if (mNext == 0 && !transform(front)) {
      // Claimed elsewhere: transform later chunks while that one is done.
      std::size_t later = 1;
      while (front.state.load(std::memory_order_acquire) != kDone) {
        if (later < mChunks.size())
          transform(*mChunks[later++]);
        else
          std::this_thread::yield();
      }
    }
    aOffsets = front.offsets + 2 * mNext;
    return front.size - mNext;
  }
  // Takes the first aCount draws that front() offered.
  void take(int aCount) {
    if (aCount <= 0) return;
    mNext += aCount;
    mQueued -= aCount;
    if (mNext == mChunks.front()->size) {
      // Other threads may still hold a pointer to it (to find it claimed).
      mTaken.push_back(std::move(mChunks.front()));
      mChunks.pop_front();
      mNext = 0;
    }
  }
  // Frees the chunks taken; no other thread may be looking at them.
  void releaseTaken() { mTaken.clear(); }

private:
  enum : int { kOpen, kClaimed, kDone };
  CRandomDraws& mRandom;
  int mRadius;
  std::deque<std::unique_ptr<CChunk>> mChunks;
  std::vector<std::unique_ptr<CChunk>> mTaken;
  int mNext = 0;
  long long mQueued = 0;
};

// The candidates accepted for a run of pixels (raster order), each pixel's in
// the order they were drawn: pixel first + i has candidates[start[i] ..
// start[i + 1]), as pixel indices x + y * X.
struct CDraws {
  int first = 0;
  int count = 0;
  std::vector<int> start;
  std::vector<int> candidates;
};

// Draws the candidates of pixels aFirst .. aFirst + aCount - 1 exactly as one
// pass over them would: which positions a pixel accepts depends only on the
// draws and the image's size, never on its values.
class CDrawer {
public:
  CDrawer(CRandomDraws& aRandom, int aXSize, int aYSize, int aRadius, int aCount)
      : mRandom(aRandom),
        mXSize(aXSize),
        mYSize(aYSize),
        mRadius(aRadius),
        mCount(aCount),
        // Room for the largest part of [-R, R - 1]^2 inside the image, cleared.
        mDrawn(static_cast<std::size_t>(std::min(2LL * aRadius, static_cast<long long>(aXSize))) *
                   static_cast<std::size_t>(std::min(2LL * aRadius, static_cast<long long>(aYSize))),
               0),
        // A pixel accepts no more candidates than its mask has positions.
        mMost(static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(aCount), mDrawn.size()))),
        // The pixel itself and each accepted candidate.
        mMarked(static_cast<std::size_t>(mMost) + 1) {}

  // Takes the draws queued in aAhead first, then draws on this thread.
  void draw(int aFirst, int aCount, CDrawQueue& aAhead, CDraws& aDraws) {
    aDraws.first = aFirst;
    aDraws.count = aCount;
    aDraws.start.resize(static_cast<std::size_t>(aCount) + 1);
    // Room for as many candidates as every pixel could accept (the runs are
    // sized for that), so that the loop below may write a candidate before
    // it knows whether it keeps it.
    const std::size_t room = static_cast<std::size_t>(aCount) * static_cast<std::size_t>(mMost);
    if (aDraws.candidates.size() < room) aDraws.candidates.resize(room);
    // Locals: the compiler cannot keep members in registers across the
    // stores below, and whether a draw is kept is as good as random, so
    // the loop keeps or drops it without a branch.
    const long long radius = mRadius, xSize = mXSize;
    const int count = mCount;
    const long long maxFailures = 5LL * count;
    unsigned char* const drawn = mDrawn.data();
    std::size_t* const marked = mMarked.data();
    int* const start = aDraws.start.data();
    int* const candidates = aDraws.candidates.data();
    // The draws in hand: the two offsets of each, `used` of `size` taken;
    // from the queue while it lasts, then one at a time from this thread.
    const int* offsets = nullptr;
    int own[2];
    int size = 0, used = 0;
    bool queued = false, ahead = true;
    long long taken = 0;
    int total = 0;
    start[0] = 0;
    for (int i = 0; i < aCount; ++i) {
      const int p = aFirst + i;
      const long long x = p % mXSize, y = p / mXSize;
      const long long xLow = std::max(x - radius, 0LL);
      const long long xHigh = std::min(x + radius - 1, xSize - 1);
      const long long yLow = std::max(y - radius, 0LL);
      const long long yHigh = std::min(y + radius - 1, mYSize - 1LL);
      // Drawn positions of this pixel, kept only over the part of its offset
      // range [-R, R - 1]^2 that lies inside the image. The marks it sets
      // are cleared again when it is done, not the whole mask.
      const std::size_t maskWidth = static_cast<std::size_t>(xHigh - xLow + 1);
      // A draw's place in the mask, from its offsets: (dx + baseX, dy +
      // baseY), inside when neither passes wX or wY as unsigned numbers.
      const long long baseX = x - xLow, baseY = y - yLow;
      const std::size_t wX = static_cast<std::size_t>(xHigh - xLow), wY = static_cast<std::size_t>(yHigh - yLow);
      int* const out = candidates + total;
      // Never the pixel itself.
      marked[0] = static_cast<std::size_t>(baseX) + static_cast<std::size_t>(baseY) * maskWidth;
      drawn[marked[0]] = 1;
      int marks = 1, accepted = 0;
      long long failures = 0;
      while (accepted < count) {
        if (used == size) {
          if (queued) aAhead.take(size);
          used = 0;
          size = ahead ? aAhead.front(offsets) : 0;
          queued = size > 0;
          if (!queued) {
            ahead = false;
            int values[4];
            for (int& value : values) value = mRandom.draw();
            own[0] = NGaussianDraws::gaussianOffset(values[0], values[1], mRadius);
            own[1] = NGaussianDraws::gaussianOffset(values[2], values[3], mRadius);
            offsets = own;
            size = 1;
          }
        }
        const long long dx = offsets[2 * used], dy = offsets[2 * used + 1];
        ++used;
        ++taken;
        if (++failures > maxFailures) break;
        // In integer arithmetic, which the compiler leaves without branches.
        const std::size_t ux = static_cast<std::size_t>(dx + baseX), uy = static_cast<std::size_t>(dy + baseY);
        const std::size_t inside = static_cast<std::size_t>(ux <= wX) & static_cast<std::size_t>(uy <= wY);
        // Outside, mark 0 stands in: it is read and left as it is.
        const std::size_t at = (ux + uy * maskWidth) * inside;
        const unsigned mark = drawn[at];
        const int fresh = static_cast<int>(inside & static_cast<std::size_t>(mark == 0));
        drawn[at] = static_cast<unsigned char>(mark | static_cast<unsigned>(fresh));
        marked[marks] = at;
        marks += fresh;
        // (Kept only if fresh; a dropped one is written over.)
        out[accepted] = static_cast<int>(p + dx + dy * xSize);
        accepted += fresh;
        failures &= static_cast<long long>(fresh) - 1;
      }
      total += accepted;
      start[i + 1] = total;
      for (int k = 0; k < marks; ++k) drawn[marked[k]] = 0;
    }
    if (queued) aAhead.take(used);
    mTaken += taken;
  }

  // Draws taken so far.
  long long taken() const { return mTaken; }
  // The draws that the first aCount pixels take at the least (as many as
  // are queued at a time at most).
  long long leastDraws(int aCount) const {
    return std::min(static_cast<long long>(mCount) * aCount, kMostAhead);
  }
  // How many draws to queue for the aCount pixels that follow those whose
  // draws are queued now: about what aLastDraws took for aLastCount pixels,
  // never more than the aRemaining pixels still to come take at the least.
  long long drawsAhead(const CDrawQueue& aQueue, int aCount, long long aRemaining, long long aLastDraws,
                       int aLastCount) const {
    const long long least = static_cast<long long>(mCount) * aRemaining - aQueue.queued();
    const long long expected = static_cast<long long>(static_cast<double>(aLastDraws) / aLastCount * aCount);
    return std::max(0LL, std::min({least, expected - aQueue.queued(), kMostAhead}));
  }

private:
  // Draws queued at a time at most (24 bytes each).
  static constexpr long long kMostAhead = 1 << 19;
  CRandomDraws& mRandom;
  int mXSize, mYSize, mRadius, mCount;
  std::vector<unsigned char> mDrawn;
  int mMost;
  std::vector<std::size_t> mMarked;
  long long mTaken = 0;
};

// Candidates held per run of pixels: runs are drawn one after another while
// the previous run is being weighed.
constexpr long long kCandidatesPerRun = 1 << 18;
// Pixels per weighing task.
constexpr int kPixelsPerTask = 256;

}  // namespace

void CNLMeans::sampling(CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma, int aCount) {
  requireSameSize(aInput, aResult);
  if (aInput.size() == 0) return;  // no pixels, but possibly 2^31 - 1 empty rows
  // With R below 1 the offset range [-R, R - 1] holds no candidate.
  if (searchRadius < 1 || aCount < 1) return;
  const int xSize = aInput.xSize(), ySize = aInput.ySize();
  const std::vector<float> copy(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(patchRadius);
  const float kernel = filterKernel(filterFactor, aSigma);
  const float* values = aInput.data();
  float* out = aResult.data();
  const int pixels = xSize * ySize;
  const int runLength = static_cast<int>(std::max(1LL, std::min<long long>(kCandidatesPerRun / aCount, pixels)));

  // The rand() calls stay in pixel order on one thread at a time (rand() is
  // one sequence). While a run is weighed, the next run takes its candidates
  // from draws made ahead, whose transforms the other threads share, and
  // then draws ahead for the run after it.
  NLMeansProgress::CPhase denoising(progress, "denoising", pixels);
  CRandomDraws random;
  const CRandomDraws::CLease lease(random);
  CDrawer drawer(random, xSize, ySize, searchRadius, aCount);
  CDraws current, next;
  CDrawQueue ahead(random, searchRadius);
  const int firstRun = std::min(runLength, pixels);
  ahead.drawAhead(drawer.leastDraws(firstRun));
  drawer.draw(0, firstRun, ahead, current);
  long long lastDraws = drawer.taken();
  int lastCount = firstRun;
  if (firstRun < pixels)
    ahead.drawAhead(drawer.drawsAhead(ahead, std::min(runLength, pixels - firstRun), pixels - firstRun, lastDraws,
                                      lastCount));
  ahead.releaseTaken();
  while (current.count > 0) {
    const int nextFirst = current.first + current.count;
    const int nextCount = std::min(runLength, pixels - nextFirst);
    const int afterFirst = nextFirst + nextCount;
    const std::vector<CDrawQueue::CChunk*> queued =
        nextCount > 0 ? ahead.chunks() : std::vector<CDrawQueue::CChunk*>();
    const int transforms = static_cast<int>(queued.size());
    const int tasks = (current.count + kPixelsPerTask - 1) / kPixelsPerTask;
    next.count = 0;
    NParallel::parallelFor(1 + transforms + tasks, [&](int aTask) {
      if (aTask == 0) {
        if (nextCount <= 0) return;
        const long long before = drawer.taken();
        drawer.draw(nextFirst, nextCount, ahead, next);
        lastDraws = drawer.taken() - before;
        lastCount = nextCount;
        if (afterFirst < pixels)
          ahead.drawAhead(drawer.drawsAhead(ahead, std::min(runLength, pixels - afterFirst), pixels - afterFirst,
                                            lastDraws, lastCount));
        return;
      }
      if (aTask <= transforms) {
        CDrawQueue::transform(*queued[aTask - 1]);
        return;
      }
      const int from = (aTask - 1 - transforms) * kPixelsPerTask, to = std::min(from + kPixelsPerTask, current.count);
      // Weights of the candidates whose patches and the pixel's lie inside
      // the image are summed side by side; the rest one by one. Either way
      // the estimate takes them in drawn order.
      const auto inside = [&](int aX, int aY) {
        return aX >= patchRadius && aX < xSize - patchRadius && aY >= patchRadius && aY < ySize - patchRadius;
      };
      std::vector<int> whole;
      std::vector<float> weights;
      for (int i = from; i < to; ++i) {
        const int p = current.first + i;
        const int x = p % xSize, y = p / xSize;
        const int* const candidates = current.candidates.data() + current.start[i];
        const int count = current.start[i + 1] - current.start[i];
        whole.clear();
        if (inside(x, y))
          for (int c = 0; c < count; ++c)
            if (inside(candidates[c] % xSize, candidates[c] / xSize)) whole.push_back(candidates[c]);
        weights.resize(whole.size());
        NLMeansKernels::candidateWeights(copy.data(), xSize, window, kernel, p, whole.data(),
                                         static_cast<int>(whole.size()), weights.data());
        CEstimate estimate;
        std::size_t next = 0;
        for (int c = 0; c < count; ++c) {
          const int q = candidates[c];
          if (next < whole.size() && whole[next] == q) {
            estimate.add(weights[next++], values[q]);
            continue;
          }
          float distance;
          if (boundedDistance(copy.data(), xSize, ySize, x, y, q % xSize, q / xSize, window, distance))
            estimate.add(std::exp(kernel * distance), values[q]);
        }
        estimate.store(values[p], out[p]);
      }
    });
    ahead.releaseTaken();
    denoising.report(nextFirst);
    std::swap(current, next);
  }
}
