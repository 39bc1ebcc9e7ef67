// Draws through a lease give what std::rand() would have given, and leave
// the generator where std::rand() goes on. Each sequence is drawn in a child
// process, so that all start from the same state of the generator.
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "CRandomDraws.h"

namespace {

// The values that aDraw writes (at most 4096), drawn in a child process.
template <typename Draw>
std::vector<int> inChild(const Draw& aDraw) {
  int ends[2];
  if (pipe(ends) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(ends[0]);
    std::vector<int> values;
    aDraw(values);
    const ssize_t bytes = static_cast<ssize_t>(values.size() * sizeof(int));
    _exit(write(ends[1], values.data(), static_cast<std::size_t>(bytes)) == bytes ? 0 : 1);
  }
  close(ends[1]);
  std::vector<int> values(4096);
  std::size_t got = 0;
  for (ssize_t n; (n = read(ends[0], reinterpret_cast<char*>(values.data()) + got,
                            values.size() * sizeof(int) - got)) > 0;)
    got += static_cast<std::size_t>(n);
  close(ends[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  values.resize(got / sizeof(int));
  return values;
}

// inChild, with the generator first given a state of aBytes bytes and the
// seed aSeed (the library's default state when aBytes is 0).
template <typename Draw>
std::vector<int> inChildWithState(std::size_t aBytes, unsigned aSeed, const Draw& aDraw) {
  return inChild([aBytes, aSeed, &aDraw](std::vector<int>& aOut) {
    static char state[256];
    if (aBytes > 0) initstate(aSeed, state, aBytes);
    aDraw(aOut);
  });
}

TEST(RandomDraws, LeasedDrawsAreTheValuesOfRandAndRandGoesOnAfterThem) {
  const std::vector<int> plain = inChild([](std::vector<int>& aOut) {
    for (int i = 0; i < 1003; ++i) aOut.push_back(std::rand());
  });
  ASSERT_EQ(plain.size(), 1003u);

  // Two leases one after the other, then std::rand().
  const std::vector<int> leased = inChild([](std::vector<int>& aOut) {
    CRandomDraws draws;
    for (int lease = 0; lease < 2; ++lease) {
      const CRandomDraws::CLease held(draws);
      for (int i = 0; i < 500; ++i) aOut.push_back(draws.draw());
    }
    for (int i = 0; i < 3; ++i) aOut.push_back(std::rand());
  });
  EXPECT_EQ(leased, plain);

  // std::rand() while a lease lives neither takes the build's values nor
  // moves the generator on; without a lease, draw() is std::rand().
  const std::vector<int> interrupted = inChild([](std::vector<int>& aOut) {
    CRandomDraws draws;
    {
      const CRandomDraws::CLease held(draws);
      for (int i = 0; i < 400; ++i) aOut.push_back(draws.draw());
      for (int i = 0; i < 7; ++i) std::rand();
      for (int i = 0; i < 400; ++i) aOut.push_back(draws.draw());
    }
    for (int i = 0; i < 200; ++i) aOut.push_back(draws.draw());
    for (int i = 0; i < 3; ++i) aOut.push_back(std::rand());
  });
  EXPECT_EQ(interrupted, plain);

  // A second lease while one lives holds nothing: its object draws through
  // std::rand() (from the parking state), and letting it go leaves the
  // first lease, and the generator, as they were.
  const std::vector<int> second = inChild([](std::vector<int>& aOut) {
    CRandomDraws draws, other;
    {
      const CRandomDraws::CLease held(draws);
      for (int i = 0; i < 300; ++i) aOut.push_back(draws.draw());
      {
        const CRandomDraws::CLease also(other);
        const CRandomDraws::CLease again(draws);
        for (int i = 0; i < 5; ++i) other.draw();
        for (int i = 0; i < 300; ++i) aOut.push_back(draws.draw());
      }
      // Still parked: these do not move the generator on.
      for (int i = 0; i < 7; ++i) std::rand();
      for (int i = 0; i < 400; ++i) aOut.push_back(draws.draw());
    }
    for (int i = 0; i < 3; ++i) aOut.push_back(std::rand());
  });
  EXPECT_EQ(second, plain);
}

// The generator can be any of the library's kinds: the linear congruential
// one of the smallest state, and additive feedback ones of other lengths
// than the default (0 here), whose pointers wrap round the state at other
// places. Draws many at a time (made in pieces, round the state by other
// means than one at a time) are the same values too, and leave the
// generator where single draws and std::rand() go on, for batches shorter
// and longer than the state and than a piece.
TEST(RandomDraws, LeasedDrawsFollowEveryKindOfGenerator) {
  for (const std::size_t bytes : {0u, 8u, 32u, 64u, 128u, 256u}) {
    SCOPED_TRACE(bytes);
    const auto withState = [bytes](const auto& aDraw) { return inChildWithState(bytes, 12345u, aDraw); };
    const std::vector<int> plain = withState([](std::vector<int>& aOut) {
      for (int i = 0; i < 4000; ++i) aOut.push_back(std::rand());
    });
    ASSERT_EQ(plain.size(), 4000u);
    const std::vector<int> leased = withState([](std::vector<int>& aOut) {
      CRandomDraws draws;
      {
        const CRandomDraws::CLease held(draws);
        for (int i = 0; i < 1000; ++i) aOut.push_back(draws.draw());
      }
      while (aOut.size() < 4000) aOut.push_back(std::rand());
    });
    EXPECT_EQ(leased, plain);
    const std::vector<int> batched = withState([](std::vector<int>& aOut) {
      CRandomDraws draws;
      {
        const CRandomDraws::CLease held(draws);
        for (const int count : {1, 2, 3, 4, 5, 30, 31, 32, 62, 63, 64, 1023, 1024, 1025, 0, 7}) {
          std::vector<int> values(static_cast<std::size_t>(count) + 1, -1);
          draws.drawMany(values.data(), count);
          EXPECT_EQ(values[static_cast<std::size_t>(count)], -1) << "wrote past " << count;
          aOut.insert(aOut.end(), values.begin(), values.begin() + count);
          aOut.push_back(draws.draw());
        }
      }
      while (aOut.size() < 4000) aOut.push_back(std::rand());
    });
    EXPECT_EQ(batched, plain);
  }
}

}  // namespace
