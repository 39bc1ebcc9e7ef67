#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "CClustering.h"

namespace {

// Elements owned by the test, with records pointing at them.
struct CRecords {
  std::vector<std::unique_ptr<CDataElement>> elements;
  std::vector<CKMeansElement> list;
  void add(std::vector<float> aVector, bool aIsCopy = false) {
    auto e = std::make_unique<CDataElement>();
    e->feature.setSize(static_cast<int>(aVector.size()));
    for (std::size_t k = 0; k < aVector.size(); ++k) e->feature(static_cast<int>(k)) = aVector[k];
    CKMeansElement r;
    r.element = e.get();
    r.isCopy = aIsCopy;
    list.push_back(r);
    elements.push_back(std::move(e));
  }
};

struct CResult {
  CVector<float> c0, c1;
  int n0 = -1, n1 = -1;
  float s0 = -1, s1 = -1;
};

CResult twoMeans(CRecords& aRecords) {
  CResult r;
  CClustering().twoMeans(aRecords.list, r.c0, r.c1, r.n0, r.n1, r.s0, r.s1);
  return r;
}

TEST(TwoMeans, TwoIdenticalRecordsEndAloneWithZeroSpread) {
  CRecords records;
  records.add({3.0f, -1.5f, 7.25f});
  records.add({3.0f, -1.5f, 7.25f});
  const CResult r = twoMeans(records);
  EXPECT_EQ(r.n0, 1);
  EXPECT_EQ(r.n1, 1);
  EXPECT_NE(records.list[0].cluster == 0, records.list[1].cluster == 0);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(r.c0(k), records.elements[0]->feature(k));
    EXPECT_EQ(r.c1(k), records.elements[0]->feature(k));
  }
  EXPECT_EQ(r.s0, 0.0f);
  EXPECT_EQ(r.s1, 0.0f);
}

TEST(TwoMeans, CopiesAreNeitherCountedNorMovedNorTouched) {
  CRecords records;
  for (int i = 0; i < 20; ++i) records.add({static_cast<float>(i % 2 ? 100 + i : i)});
  records.add({50.0f}, true);
  records.add({-400.0f}, true);
  for (int i = 20; i < 22; ++i) {
    records.list[i].cluster = 7;
    records.list[i].lower0 = 1.0f;
    records.list[i].lower1 = 2.0f;
    records.list[i].upper = 3.0f;
  }
  const CResult r = twoMeans(records);
  EXPECT_EQ(r.n0 + r.n1, 20);
  for (int i = 20; i < 22; ++i) {
    EXPECT_EQ(records.list[i].cluster, 7);
    EXPECT_EQ(records.list[i].lower0, 1.0f);
    EXPECT_EQ(records.list[i].lower1, 2.0f);
    EXPECT_EQ(records.list[i].upper, 3.0f);
  }
  // Two far-apart groups come out as the two clusters.
  for (int i = 0; i < 20; i += 2) EXPECT_EQ(records.list[i].cluster == 0, records.list[0].cluster == 0);
  for (int i = 1; i < 20; i += 2) EXPECT_NE(records.list[i].cluster == 0, records.list[0].cluster == 0);
}

TEST(TwoMeans, CentresAndCountsMatchTheAssignment) {
  // Whatever the passes did, the counts are the cluster sizes and the
  // centres are the float means of the members, summed in list order.
  std::mt19937 generator(11);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  CRecords records;
  for (int i = 0; i < 300; ++i) {
    const float shift = (i % 3 == 0) ? 2.0f : -1.0f;
    records.add({noise(generator) + shift, noise(generator), noise(generator) * 0.5f});
  }
  const CResult r = twoMeans(records);
  int n0 = 0, n1 = 0;
  float sum0[3] = {0, 0, 0}, sum1[3] = {0, 0, 0};
  for (const CKMeansElement& e : records.list) {
    float* sum = e.cluster == 0 ? sum0 : sum1;
    (e.cluster == 0 ? n0 : n1)++;
    for (int k = 0; k < 3; ++k) sum[k] += e.element->feature(k);
  }
  ASSERT_EQ(r.n0, n0);
  ASSERT_EQ(r.n1, n1);
  ASSERT_GT(n0, 0);
  ASSERT_GT(n1, 0);
  // The running sums add and subtract, so compare with a tolerance.
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(r.c0(k), sum0[k] / n0, 1e-4f);
    EXPECT_NEAR(r.c1(k), sum1[k] / n1, 1e-4f);
  }
}

TEST(TwoMeans, FewerThanTwoActiveRecordsMakeOneCluster) {
  CRecords one;
  one.add({4.0f, 8.0f});
  one.add({100.0f, 100.0f}, true);
  const CResult r = twoMeans(one);
  EXPECT_EQ(r.n0, 1);
  EXPECT_EQ(r.n1, 0);
  EXPECT_EQ(r.c0(0), 4.0f);
  EXPECT_EQ(r.c1(1), 8.0f);
  EXPECT_EQ(r.s0, 0.0f);
  EXPECT_EQ(r.s1, 0.0f);
  EXPECT_EQ(one.list[0].cluster, 0);

  CRecords empty;
  const CResult none = twoMeans(empty);
  EXPECT_EQ(none.n0, 0);
  EXPECT_EQ(none.n1, 0);
  EXPECT_EQ(none.c0.size(), 0);
}

}  // namespace
