// The C library's random generator for work that draws from it millions of
// times one after another (cluster tree builds, random sampling). std::rand()
// takes the generator's lock on every call; with glibc, such work can take
// over the generator's own state for its duration and draw from it with
// random_r, the step that rand() itself runs. Every value, their order and
// their number stay those that std::rand() calls would give, and afterwards
// std::rand() goes on from where the work left it. Elsewhere each draw is a
// std::rand() call.
#pragma once

#include <cstdint>
#include <cstdlib>

class CRandomDraws {
public:
  CRandomDraws();
  CRandomDraws(const CRandomDraws&) = delete;
  CRandomDraws& operator=(const CRandomDraws&) = delete;

  // While a lease lives, draw() takes the generator's values, on one thread
  // at a time. Meanwhile std::rand() calls from elsewhere (which would make
  // the work's draws depend on timing anyway) draw from a parking state
  // instead of the generator's, and do not advance it. One lease is held in
  // the process at a time: a lease made while another lives (on any thread)
  // holds nothing, and its object's draws are std::rand() calls.
  class CLease {
  public:
    explicit CLease(CRandomDraws& aDraws);
    ~CLease();
    CLease(const CLease&) = delete;
    CLease& operator=(const CLease&) = delete;

  private:
    CRandomDraws& mDraws;
    bool mHolds = false;  // whether this lease took the generator
  };

  // The value the next std::rand() call would return, advancing the generator.
  int draw() {
#ifdef __GLIBC__
    if (mLeased) {
      std::int32_t value;
      random_r(&mGenerator, &value);
      return value;
    }
#endif
    return std::rand();
  }

private:
#ifdef __GLIBC__
  // State arrays of the library's default size: one where std::rand() waits
  // while a lease lives, one that mGenerator lets go of between leases.
  // Neither is ever drawn from by this program.
  char mParking[128];
  char mIdle[128];
  random_data mParked{};
  random_data mGenerator{};
  char* mTaken = nullptr;  // the generator's state while leased
#endif
  bool mLeased = false;
};
