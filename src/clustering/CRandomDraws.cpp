#include "CRandomDraws.h"

#include <atomic>
#include <cstring>

#ifdef __GLIBC__
namespace {

// Whether a lease holds the generator: the library has one generator, so one
// lease at a time can take it over.
std::atomic<bool> gHeld{false};

}  // namespace
#endif

CRandomDraws::CRandomDraws() {
#ifdef __GLIBC__
  // Valid state arrays to swap in; their seed plays no part in any draw.
  if (initstate_r(1, mParking, sizeof mParking, &mParked) != 0 ||
      initstate_r(1, mIdle, sizeof mIdle, &mGenerator) != 0)
    mGenerator.state = nullptr;
#endif
}

CRandomDraws::CLease::CLease(CRandomDraws& aDraws) : mDraws(aDraws) {
#ifdef __GLIBC__
  if (!mDraws.mGenerator.state || gHeld.exchange(true, std::memory_order_acquire)) return;
  // setstate records the generator's position in its state array and hands
  // that array back; setstate_r takes it up from there.
  char* const taken = setstate(mDraws.mParking);
  if (!taken) {
    gHeld.store(false, std::memory_order_release);
    return;
  }
  if (setstate_r(taken, &mDraws.mGenerator) != 0) {
    setstate(taken);
    gHeld.store(false, std::memory_order_release);
    return;
  }
  mDraws.mTaken = taken;
  mDraws.mLeased = true;
  mHolds = true;
#endif
}

CRandomDraws::CLease::~CLease() {
#ifdef __GLIBC__
  if (!mHolds) return;
  // Letting go records the position reached in the generator's state array,
  // where setstate finds it.
  setstate_r(mDraws.mIdle, &mDraws.mGenerator);
  setstate(mDraws.mTaken);
  mDraws.mTaken = nullptr;
  mDraws.mLeased = false;
  gHeld.store(false, std::memory_order_release);
#endif
}

void CRandomDraws::drawMany(int* aOut, int aCount) {
#ifdef __GLIBC__
  if (mLeased && mGenerator.rand_type != 0 && aCount > 0) {
    // The additive feedback generator in a line instead of round its state:
    // value k is value k - deg plus value k - sep (modulo 2^32). The line
    // starts with the state's deg values from the oldest (at the front) on;
    // its last deg values go back into the state, the front moved on by
    // aCount. The same sums as feedbackStep's, in the same order. The line
    // is made a piece at a time, each piece starting with the last deg
    // values of the one before, so that it stays in the nearest cache.
    constexpr int kPiece = 1024;
    const int deg = mGenerator.rand_deg, sep = mGenerator.rand_sep;
    std::int32_t* const state = mGenerator.state;
    const int front = static_cast<int>(mGenerator.fptr - state);
    mLine.resize(static_cast<std::size_t>(deg) + kPiece);
    std::uint32_t* const line = mLine.data();
    // (In two pieces, round the state's end: a division per value would
    // cost more than the values for the smaller lists.)
    for (int t = front; t < deg; ++t) line[t - front] = static_cast<std::uint32_t>(state[t]);
    for (int t = 0; t < front; ++t) line[deg - front + t] = static_cast<std::uint32_t>(state[t]);
    std::uint32_t* const next = line + deg;
    for (int begin = 0; begin < aCount; begin += kPiece) {
      const int count = aCount - begin < kPiece ? aCount - begin : kPiece;
      int* const out = aOut + begin;
      if (begin > 0) std::memmove(line, line + kPiece, sizeof(std::uint32_t) * static_cast<std::size_t>(deg));
      int k = 0;
      if (sep == 3) {
        // The library's default state: the three newest values stay in
        // registers rather than going through memory from one to the next.
        std::uint32_t a = next[-3], b = next[-2], c = next[-1];
        for (; k + 3 <= count; k += 3) {
          a += line[k];
          b += line[k + 1];
          c += line[k + 2];
          next[k] = a;
          next[k + 1] = b;
          next[k + 2] = c;
          out[k] = static_cast<int>(a >> 1);
          out[k + 1] = static_cast<int>(b >> 1);
          out[k + 2] = static_cast<int>(c >> 1);
        }
      }
      for (; k < count; ++k) {
        next[k] = line[k] + next[k - sep];
        out[k] = static_cast<int>(next[k] >> 1);
      }
      // The last piece may be short: its last deg values go where those of
      // a whole one would be.
      if (count < kPiece)
        std::memmove(line + kPiece, line + count, sizeof(std::uint32_t) * static_cast<std::size_t>(deg));
    }
    const int moved = static_cast<int>((static_cast<long long>(front) + aCount) % deg);
    const std::uint32_t* const last = line + kPiece;
    for (int t = moved; t < deg; ++t) state[t] = static_cast<std::int32_t>(last[t - moved]);
    for (int t = 0; t < moved; ++t) state[t] = static_cast<std::int32_t>(last[deg - moved + t]);
    mGenerator.fptr = state + moved;
    mGenerator.rptr = state + (moved + deg - sep) % deg;
    return;
  }
#endif
  for (int i = 0; i < aCount; ++i) aOut[i] = draw();
}
