#include "CRandomDraws.h"

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
  if (!mDraws.mGenerator.state) return;
  // setstate records the generator's position in its state array and hands
  // that array back; setstate_r takes it up from there.
  char* const taken = setstate(mDraws.mParking);
  if (!taken) return;
  if (setstate_r(taken, &mDraws.mGenerator) != 0) {
    setstate(taken);
    return;
  }
  mDraws.mTaken = taken;
  mDraws.mLeased = true;
#endif
}

CRandomDraws::CLease::~CLease() {
#ifdef __GLIBC__
  if (!mDraws.mLeased) return;
  // Letting go records the position reached in the generator's state array,
  // where setstate finds it.
  setstate_r(mDraws.mIdle, &mDraws.mGenerator);
  setstate(mDraws.mTaken);
  mDraws.mTaken = nullptr;
  mDraws.mLeased = false;
#endif
}
