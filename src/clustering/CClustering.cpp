#include "CClustering.h"

#include <cstdlib>

namespace {

// The starting upper bound: the float nearest to 1e11.
constexpr float kFarAway = 99999997952.0f;
// rand() scaled into [0, 1] by the float 2^-31.
constexpr float kRandScale = 4.656612873077393e-10f;
// At most five passes: the bounds make later passes cheap, but the split only
// needs a reasonable division, not a converged one.
constexpr int kMaxPasses = 5;

float squaredDistance(const float* aA, const float* aB, int aLength) {
  float sum = 0.0f;
  for (int k = 0; k < aLength; ++k) {
    const float d = aA[k] - aB[k];
    sum += d * d;
  }
  return sum;
}

void add(float* aSum, const float* aVector, int aLength) {
  for (int k = 0; k < aLength; ++k) aSum[k] += aVector[k];
}

void subtract(float* aSum, const float* aVector, int aLength) {
  for (int k = 0; k < aLength; ++k) aSum[k] -= aVector[k];
}

// aMean = aSum * float(1 / aCount).
void mean(const CVector<float>& aSum, int aCount, CVector<float>& aMean) {
  const float factor = static_cast<float>(1.0 / aCount);
  for (int k = 0; k < aSum.size(); ++k) aMean(k) = aSum(k) * factor;
}

void resizeTo(CVector<float>& aVector, int aLength) {
  if (aVector.size() != aLength) aVector.setSize(aLength);
}

// Largest upper bound among the active records of each cluster.
void spreads(const std::vector<CKMeansElement>& aList, float& aSpread0, float& aSpread1) {
  aSpread0 = 0.0f;
  aSpread1 = 0.0f;
  for (const CKMeansElement& e : aList) {
    if (e.isCopy) continue;
    if (e.cluster == 0) {
      if (e.upper > aSpread0) aSpread0 = e.upper;
    } else if (e.upper > aSpread1) {
      aSpread1 = e.upper;
    }
  }
}

}  // namespace

void CClustering::twoMeans(std::vector<CKMeansElement>& aList, CVector<float>& aCenter0, CVector<float>& aCenter1,
                           int& aCount0, int& aCount1, float& aSpread0, float& aSpread1) {
  const int length = aList.empty() ? 0 : aList.front().element->feature.size();
  resizeTo(aCenter0, length);
  resizeTo(aCenter1, length);
  CVector<float> sum0(length), sum1(length);
  int& n0 = aCount0;
  int& n1 = aCount1;

  int active = 0;
  for (const CKMeansElement& e : aList) active += e.isCopy ? 0 : 1;
  if (active < 2) {
    // Nothing to divide: one cluster, and no random draw.
    sum0.fill(0.0f);
    for (CKMeansElement& e : aList) {
      if (e.isCopy) continue;
      e.cluster = 0;
      add(sum0.data(), e.element->feature.data(), length);
    }
    n0 = active;
    n1 = 0;
    if (active > 0)
      mean(sum0, active, aCenter0);
    else
      aCenter0.fill(0.0f);
    aCenter1 = aCenter0;
    aSpread0 = 0.0f;
    aSpread1 = 0.0f;
    return;
  }

  // Random start, biased towards equal halves: the next record joins cluster 1
  // with probability (N0 + 1) / (N0 + N1 + 1).
  do {
    sum0.fill(0.0f);
    sum1.fill(0.0f);
    n0 = 0;
    n1 = 0;
    for (CKMeansElement& e : aList) {
      if (e.isCopy) continue;
      const double p = static_cast<double>(n0 + 1) / static_cast<double>(n0 + n1 + 1);
      const double u = static_cast<double>(static_cast<float>(std::rand()) * kRandScale);
      e.cluster = static_cast<std::int8_t>(static_cast<int>(p + u));
      e.lower0 = 0.0f;
      e.lower1 = 0.0f;
      e.upper = kFarAway;
      if (e.cluster == 0) {
        add(sum0.data(), e.element->feature.data(), length);
        ++n0;
      } else {
        add(sum1.data(), e.element->feature.data(), length);
        ++n1;
      }
    }
  } while (n0 == 0 || n1 == 0);

  float* c0 = aCenter0.data();
  float* c1 = aCenter1.data();
  mean(sum0, n0, aCenter0);
  mean(sum1, n1, aCenter1);
  float half = 0.5f * squaredDistance(c0, c1, length);

  CVector<float> old0(length), old1(length);
  for (int pass = 1; pass <= kMaxPasses; ++pass) {
    int moves = 0;
    for (CKMeansElement& e : aList) {
      if (e.isCopy) continue;
      if (half >= e.upper) continue;
      const float* x = e.element->feature.data();
      if (e.cluster == 0) {
        if (e.upper <= e.lower1) continue;
        const float d0 = squaredDistance(x, c0, length);
        e.lower0 = d0;
        e.upper = d0;
        if (d0 <= e.lower1) continue;
        const float d1 = squaredDistance(x, c1, length);
        e.lower1 = d1;
        if (d0 <= d1) continue;
        subtract(sum0.data(), x, length);
        --n0;
        add(sum1.data(), x, length);
        ++n1;
        e.upper = d1;
        e.cluster = 1;
        ++moves;
      } else {
        if (e.upper <= e.lower0) continue;
        const float d1 = squaredDistance(x, c1, length);
        e.lower1 = d1;
        e.upper = d1;
        if (d1 <= e.lower0) continue;
        const float d0 = squaredDistance(x, c0, length);
        e.lower0 = d0;
        if (d1 <= d0) continue;
        subtract(sum1.data(), x, length);
        --n1;
        add(sum0.data(), x, length);
        ++n0;
        e.cluster = 0;
        e.upper = d0;
        ++moves;
      }
    }

    if (moves == 0) {
      if (pass == 1) spreads(aList, aSpread0, aSpread1);
      return;
    }
    if (n0 == 0 || n1 == 0) {
      // A pass emptied a cluster: its mean is undefined, so the centres stay.
      spreads(aList, aSpread0, aSpread1);
      return;
    }

    // Move the centres and loosen every bound by the squared movement.
    old0 = aCenter0;
    old1 = aCenter1;
    mean(sum0, n0, aCenter0);
    mean(sum1, n1, aCenter1);
    float move0 = 0.0f, move1 = 0.0f, between = 0.0f;
    for (int k = 0; k < length; ++k) {
      const float a = c0[k] - old0(k);
      move0 += a * a;
      const float b = c1[k] - old1(k);
      move1 += b * b;
      const float c = c0[k] - c1[k];
      between += c * c;
    }
    half = 0.5f * between;
    aSpread0 = 0.0f;
    aSpread1 = 0.0f;
    for (CKMeansElement& e : aList) {
      if (e.isCopy) continue;
      e.lower0 -= move0;
      e.lower1 -= move1;
      if (e.cluster == 0) {
        e.upper += move0;
        if (e.upper > aSpread0) aSpread0 = e.upper;
      } else {
        e.upper += move1;
        if (e.upper > aSpread1) aSpread1 = e.upper;
      }
    }
  }
}

void CClustering::twoMeans(std::vector<CKMeansElement>& aList) {
  CVector<float> center0, center1;
  int count0 = 0, count1 = 0;
  float spread0 = 0.0f, spread1 = 0.0f;
  twoMeans(aList, center0, center1, count0, count1, spread0, spread1);
}
