// The C library's random generator for work that draws from it millions of
// times one after another (cluster tree builds, random sampling). std::rand()
// takes the generator's lock on every call; with glibc, such work can take
// over the generator's own state for its duration and draw from it with
// the step that rand() itself runs (random_r's, inlined for the additive
// feedback generators, the library's default). Every value, their order and
// their number stay those that std::rand() calls would give, and afterwards
// std::rand() goes on from where the work left it. Elsewhere each draw is a
// std::rand() call.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

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
      if (mGenerator.rand_type != 0) return feedbackStep();
      std::int32_t value;
      random_r(&mGenerator, &value);
      return value;
    }
#endif
    return std::rand();
  }

  // aOut[0 .. aCount - 1] = the next aCount values of draw(), in order.
  void drawMany(int* aOut, int aCount);

private:
#ifdef __GLIBC__
  // random_r's step for the additive feedback generators (every state but
  // the smallest), where the compiler can inline it into the loops that draw
  // millions of times: the front value takes the rear one added, modulo
  // 2^32, the draw is its top 31 bits, and both move on round the state.
  int feedbackStep() {
    std::int32_t* front = mGenerator.fptr;
    std::int32_t* rear = mGenerator.rptr;
    const std::uint32_t value = static_cast<std::uint32_t>(*front) + static_cast<std::uint32_t>(*rear);
    *front = static_cast<std::int32_t>(value);
    ++front;
    ++rear;
    if (front >= mGenerator.end_ptr)
      front = mGenerator.state;
    else if (rear >= mGenerator.end_ptr)
      rear = mGenerator.state;
    mGenerator.fptr = front;
    mGenerator.rptr = rear;
    return static_cast<int>(value >> 1);
  }

  // State arrays of the library's default size: one where std::rand() waits
  // while a lease lives, one that mGenerator lets go of between leases.
  // Neither is ever drawn from by this program.
  char mParking[128];
  char mIdle[128];
  random_data mParked{};
  random_data mGenerator{};
  char* mTaken = nullptr;  // the generator's state while leased
  // drawMany's values in the order made, after the state's (see there).
  std::vector<std::uint32_t> mLine;
#endif
  bool mLeased = false;
};
