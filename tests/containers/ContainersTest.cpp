#include <gtest/gtest.h>

#include "CMatrix.h"
#include "CTensor.h"
#include "CVector.h"
#include "Exceptions.h"

namespace {

TEST(Containers, EmptyMatrixCopiesToEmpty) {
  CMatrix<float> empty;
  EXPECT_EQ(empty.xSize(), 0);
  EXPECT_EQ(empty.ySize(), 0);
  EXPECT_EQ(empty.data(), nullptr);
  CMatrix<float> copy(empty);
  EXPECT_EQ(copy.xSize(), 0);
  EXPECT_EQ(copy.ySize(), 0);
  EXPECT_EQ(copy.data(), nullptr);
}

TEST(Containers, StorageOrderRunsXFastest) {
  CMatrix<int> m(4, 3);
  EXPECT_EQ(&m(2, 1) - m.data(), 6);
  CTensor<int> t(2, 3, 4);
  EXPECT_EQ(&t(1, 2, 1) - t.data(), 11);
  EXPECT_EQ(t.size(), 24);
}

TEST(Containers, CopiesAreDeep) {
  CMatrix<float> m(2, 2);
  m.fill(1.0f);
  CMatrix<float> copy(m);
  copy(1, 1) = 5.0f;
  EXPECT_EQ(m(1, 1), 1.0f);
  CVector<float> v(3);
  v.fill(2.0f);
  CVector<float> w(v);
  w(0) = 7.0f;
  EXPECT_EQ(v(0), 2.0f);
  CTensor<int> t(1, 2, 3);
  t.fill(4);
  CTensor<int> u(t);
  u(0, 1, 2) = 9;
  EXPECT_EQ(t(0, 1, 2), 4);
}

TEST(Containers, SetSizeReplacesStorage) {
  CMatrix<float> m(3, 2);
  m.fill(8.0f);
  m.setSize(5, 7);
  EXPECT_EQ(m.xSize(), 5);
  EXPECT_EQ(m.ySize(), 7);
  m.fill(1.0f);
  EXPECT_EQ(m(4, 6), 1.0f);
  CVector<float> v(2);
  v.setSize(9);
  EXPECT_EQ(v.size(), 9);
}

TEST(Containers, TransposedExchangesSizes) {
  CMatrix<float> m(3, 2);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) m(x, y) = static_cast<float>(10 * y + x);
  const CMatrix<float> t = m.transposed();
  ASSERT_EQ(t.xSize(), 2);
  ASSERT_EQ(t.ySize(), 3);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(t(y, x), m(x, y));
}

TEST(Containers, ImpossibleSizesAreRefused) {
  EXPECT_THROW(CMatrix<float>(-1, 3), std::bad_alloc);
  EXPECT_THROW(CMatrix<float>(65536, 32768), std::bad_alloc);
  EXPECT_THROW(CTensor<float>(2048, 2048, 1024), std::bad_alloc);
  CMatrix<float> m(2, 2);
  EXPECT_THROW(m.setSize(1 << 16, 1 << 16), std::bad_alloc);
}

TEST(Exceptions, MessagesAreWrittenWhenMade) {
  testing::internal::CaptureStderr();
  EInvalidFileFormat format("PGM");
  EIncompatibleMatrices sizes(3, 4, 1, 5);
  ENonquadraticMatrix square(2, 3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Exception EInvalidFileFormat: File is not in PGM format\n"
            "Exception EIncompatibleMatrices: M1 = 3x4  M2 = 1x5\n"
            "Exception ENonquadarticMatrix: M = 2x3\n");
}

}  // namespace
