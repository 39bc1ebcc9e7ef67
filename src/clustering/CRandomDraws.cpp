#include "CRandomDraws.h"

#include <atomic>

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
