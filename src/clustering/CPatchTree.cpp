#include "CPatchTree.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "PatchKernels.h"

namespace NPatchTree {
namespace {

// The constants and rules of two-means and of the split, as in CClustering
// and CClusterTree, whose plain code is the reference for this one.
constexpr float kFarAway = 99999997952.0f;
constexpr float kRandScale = 4.656612873077393e-10f;
constexpr int kMaxPasses = 5;
constexpr int kMinHalf = 30;
constexpr int kMaxRepeatedLeaf = 2 * kMinHalf + 1;

struct CRecord {
  int pixel;
  float lower0;
  float lower1;
  float upper;
  std::int8_t cluster;
  bool isCopy;
};

CRecord record(int aPixel, bool aIsCopy) { return CRecord{aPixel, 0.0f, 0.0f, 0.0f, 0, aIsCopy}; }

float squaredDistance(const float* aA, const float* aB, int aLength) {
  float sum = 0.0f;
  for (int k = 0; k < aLength; ++k) {
    const float d = aA[k] - aB[k];
    sum += d * d;
  }
  return sum;
}

class CBuilder {
public:
  CBuilder(const CSettings& aSettings) : mSettings(aSettings) {
    const int r = aSettings.patchRadius;
    mSide = 2 * r + 1;
    mLength = mSide * mSide;
    for (int dy = -r; dy <= r; ++dy)
      for (int dx = -r; dx <= r; ++dx) mOffsets.push_back(dy * aSettings.xSize + dx);
    mLayout = NPatchKernels::CPatchLayout{aSettings.scaled, mOffsets.data(), mLength, mSide, aSettings.xSize};
    mSum0.resize(mLength);
    mSum1.resize(mLength);
    mCentre0.resize(mLength);
    mCentre1.resize(mLength);
    mOld0.resize(mLength);
    mOld1.resize(mLength);
  }

  void run(std::vector<CRecord>&& aRoot, const std::function<void(CLeaf&&)>& aSink) {
    std::vector<std::vector<CRecord>> pending;
    pending.push_back(std::move(aRoot));
    while (!pending.empty()) {
      std::vector<CRecord> list = std::move(pending.back());
      pending.pop_back();
      std::vector<CRecord> first, second;
      if (splitOne(list, first, second)) {
        // First child on top: its whole subtree comes before the second child.
        pending.push_back(std::move(second));
        pending.push_back(std::move(first));
      } else {
        CLeaf leaf;
        leaf.members.reserve(list.size());
        leaf.isCopy.reserve(list.size());
        for (const CRecord& r : list) {
          leaf.members.push_back(r.pixel);
          leaf.isCopy.push_back(r.isCopy ? 1 : 0);
        }
        std::vector<CRecord>().swap(list);
        aSink(std::move(leaf));
      }
    }
  }

private:
  const float* feature(int aPixel) const { return mSettings.scaled + aPixel; }

  void addPatch(float* aSum, int aPixel) const { NPatchKernels::addFeature(mLayout, aPixel, aSum); }
  bool samePatch(int aA, int aB) const {
    for (int k = 0; k < mLength; ++k)
      if (!(feature(aA)[mOffsets[k]] == feature(aB)[mOffsets[k]])) return false;
    return true;
  }
  void mean(const std::vector<float>& aSum, int aCount, std::vector<float>& aMean) const {
    const float factor = static_cast<float>(1.0 / aCount);
    for (int k = 0; k < mLength; ++k) aMean[k] = aSum[k] * factor;
  }
  void spreads(const std::vector<CRecord>& aList, float& aSpread0, float& aSpread1) const {
    aSpread0 = 0.0f;
    aSpread1 = 0.0f;
    for (const CRecord& e : aList) {
      if (e.isCopy) continue;
      if (e.cluster == 0) {
        if (e.upper > aSpread0) aSpread0 = e.upper;
      } else if (e.upper > aSpread1) {
        aSpread1 = e.upper;
      }
    }
  }

  // Distances of the listed records to a centre, side by side.
  void distances(const std::vector<CRecord>& aList, const std::vector<int>& aWhich, const std::vector<float>& aCentre,
                 std::vector<float>& aOut) {
    mPixels.resize(aWhich.size());
    for (std::size_t i = 0; i < aWhich.size(); ++i) mPixels[i] = aList[aWhich[i]].pixel;
    aOut.resize(aWhich.size());
    NPatchKernels::centreDistances(mLayout, mPixels.data(), static_cast<int>(mPixels.size()), aCentre.data(),
                                   aOut.data());
  }

  // Two-means on one work list; the centres end in mCentre0 and mCentre1.
  void twoMeans(std::vector<CRecord>& aList, int& aCount0, int& aCount1, float& aSpread0, float& aSpread1) {
    int active = 0;
    for (const CRecord& e : aList) active += e.isCopy ? 0 : 1;
    if (active < 2) {
      std::fill(mSum0.begin(), mSum0.end(), 0.0f);
      for (CRecord& e : aList) {
        if (e.isCopy) continue;
        e.cluster = 0;
        addPatch(mSum0.data(), e.pixel);
      }
      aCount0 = active;
      aCount1 = 0;
      if (active > 0)
        mean(mSum0, active, mCentre0);
      else
        std::fill(mCentre0.begin(), mCentre0.end(), 0.0f);
      mCentre1 = mCentre0;
      aSpread0 = aSpread1 = 0.0f;
      return;
    }

    int& n0 = aCount0;
    int& n1 = aCount1;
    do {
      std::fill(mSum0.begin(), mSum0.end(), 0.0f);
      std::fill(mSum1.begin(), mSum1.end(), 0.0f);
      n0 = n1 = 0;
      for (CRecord& e : aList) {
        if (e.isCopy) continue;
        const double p = static_cast<double>(n0 + 1) / static_cast<double>(n0 + n1 + 1);
        const double u = static_cast<double>(static_cast<float>(std::rand()) * kRandScale);
        e.cluster = static_cast<std::int8_t>(static_cast<int>(p + u));
        e.lower0 = 0.0f;
        e.lower1 = 0.0f;
        e.upper = kFarAway;
        if (e.cluster == 0) {
          addPatch(mSum0.data(), e.pixel);
          ++n0;
        } else {
          addPatch(mSum1.data(), e.pixel);
          ++n1;
        }
      }
    } while (n0 == 0 || n1 == 0);

    mean(mSum0, n0, mCentre0);
    mean(mSum1, n1, mCentre1);
    float half = 0.5f * squaredDistance(mCentre0.data(), mCentre1.data(), mLength);

    for (int pass = 1; pass <= kMaxPasses; ++pass) {
      // Within a pass the centres are fixed, so every record's decisions
      // depend on its own bounds only: compute the distances it needs side by
      // side, then apply the moves to the sums in list order.
      mOwn0.clear();
      mOwn1.clear();
      for (int i = 0; i < static_cast<int>(aList.size()); ++i) {
        const CRecord& e = aList[i];
        if (e.isCopy || half >= e.upper) continue;
        if (e.cluster == 0) {
          if (!(e.upper <= e.lower1)) mOwn0.push_back(i);
        } else if (!(e.upper <= e.lower0)) {
          mOwn1.push_back(i);
        }
      }
      distances(aList, mOwn0, mCentre0, mDistOwn0);
      distances(aList, mOwn1, mCentre1, mDistOwn1);
      mOther0.clear();
      mOther1.clear();
      for (std::size_t j = 0; j < mOwn0.size(); ++j) {
        CRecord& e = aList[mOwn0[j]];
        const float d0 = mDistOwn0[j];
        e.lower0 = d0;
        e.upper = d0;
        if (!(d0 <= e.lower1)) mOther0.push_back(mOwn0[j]);
      }
      for (std::size_t j = 0; j < mOwn1.size(); ++j) {
        CRecord& e = aList[mOwn1[j]];
        const float d1 = mDistOwn1[j];
        e.lower1 = d1;
        e.upper = d1;
        if (!(d1 <= e.lower0)) mOther1.push_back(mOwn1[j]);
      }
      distances(aList, mOther0, mCentre1, mDistOther0);
      distances(aList, mOther1, mCentre0, mDistOther1);
      mMoves.clear();
      for (std::size_t j = 0; j < mOther0.size(); ++j) {
        CRecord& e = aList[mOther0[j]];
        const float d1 = mDistOther0[j];
        e.lower1 = d1;
        if (e.upper <= d1) continue;
        e.upper = d1;
        e.cluster = 1;
        mMoves.push_back(mOther0[j]);
      }
      const std::size_t movedTo1 = mMoves.size();
      for (std::size_t j = 0; j < mOther1.size(); ++j) {
        CRecord& e = aList[mOther1[j]];
        const float d0 = mDistOther1[j];
        e.lower0 = d0;
        if (e.upper <= d0) continue;
        e.cluster = 0;
        e.upper = d0;
        mMoves.push_back(mOther1[j]);
      }
      if (mMoves.empty()) {
        if (pass == 1) spreads(aList, aSpread0, aSpread1);
        return;
      }
      std::inplace_merge(mMoves.begin(), mMoves.begin() + static_cast<std::ptrdiff_t>(movedTo1), mMoves.end());
      for (int i : mMoves) {
        const CRecord& e = aList[i];
        if (e.cluster == 0) {
          NPatchKernels::moveFeature(mLayout, e.pixel, mSum1.data(), mSum0.data());
          --n1;
          ++n0;
        } else {
          NPatchKernels::moveFeature(mLayout, e.pixel, mSum0.data(), mSum1.data());
          --n0;
          ++n1;
        }
      }
      if (n0 == 0 || n1 == 0) {
        spreads(aList, aSpread0, aSpread1);
        return;
      }

      mOld0 = mCentre0;
      mOld1 = mCentre1;
      mean(mSum0, n0, mCentre0);
      mean(mSum1, n1, mCentre1);
      float move0 = 0.0f, move1 = 0.0f, between = 0.0f;
      for (int k = 0; k < mLength; ++k) {
        const float a = mCentre0[k] - mOld0[k];
        move0 += a * a;
        const float b = mCentre1[k] - mOld1[k];
        move1 += b * b;
        const float c = mCentre0[k] - mCentre1[k];
        between += c * c;
      }
      half = 0.5f * between;
      aSpread0 = aSpread1 = 0.0f;
      for (CRecord& e : aList) {
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

  bool splitOne(std::vector<CRecord>& aList, std::vector<CRecord>& aFirst, std::vector<CRecord>& aSecond) {
    int count0 = 0, count1 = 0;
    float spread0 = 0.0f, spread1 = 0.0f;
    twoMeans(aList, count0, count1, spread0, spread1);

    const float threshold = mSettings.splitThreshold;
    if (spread0 > threshold && count0 > kMinHalf && spread1 > threshold && count1 > kMinHalf) {
      const int n = static_cast<int>(aList.size());
      mPixels.resize(n);
      for (int i = 0; i < n; ++i) mPixels[i] = aList[i].pixel;
      mDistOwn0.resize(n);
      mDistOwn1.resize(n);
      NPatchKernels::centreDistances2(mLayout, mPixels.data(), n, mCentre0.data(), mCentre1.data(), mDistOwn0.data(),
                                      mDistOwn1.data());
      int active0 = 0, active1 = 0;
      for (int i = 0; i < n; ++i) {
        if (mDistOwn1[i] > mDistOwn0[i])
          active0 += aList[i].isCopy ? 0 : 1;
        else
          active1 += aList[i].isCopy ? 0 : 1;
      }
      if (active0 > 0 && active1 > 0) {
        const float band = mSettings.overlapMargin * mSettings.overlapMargin;
        // The first child takes the records nearer to centre 0 followed by
        // the copies from the other side; the second the copies from the
        // first side followed by its own records.
        for (int i = 0; i < n; ++i) {
          const float d0 = mDistOwn0[i], d1 = mDistOwn1[i];
          if (d1 > d0) {
            aFirst.push_back(record(aList[i].pixel, aList[i].isCopy));
            if (d0 + band > d1) aSecond.push_back(record(aList[i].pixel, true));
          }
        }
        for (int i = 0; i < n; ++i) {
          const float d0 = mDistOwn0[i], d1 = mDistOwn1[i];
          if (!(d1 > d0)) {
            aSecond.push_back(record(aList[i].pixel, aList[i].isCopy));
            if (d1 + band > d0) aFirst.push_back(record(aList[i].pixel, true));
          }
        }
        std::vector<CRecord>().swap(aList);
        return true;
      }
    }
    return divideRepeated(aList, aFirst, aSecond);
  }

  bool divideRepeated(std::vector<CRecord>& aList, std::vector<CRecord>& aFirst, std::vector<CRecord>& aSecond) {
    std::vector<int> activeIndices;
    for (int i = 0; i < static_cast<int>(aList.size()); ++i)
      if (!aList[i].isCopy) activeIndices.push_back(i);
    const int active = static_cast<int>(activeIndices.size());
    if (active <= kMaxRepeatedLeaf) return false;

    const int firstPixel = aList[activeIndices.front()].pixel;
    const bool allEqual = std::all_of(activeIndices.begin(), activeIndices.end(),
                                      [&](int i) { return samePatch(aList[i].pixel, firstPixel); });
    if (allEqual) {
      const int lastOfFirst = activeIndices[(active + 1) / 2 - 1];
      for (int i = 0; i < static_cast<int>(aList.size()); ++i)
        (i <= lastOfFirst ? aFirst : aSecond).push_back(record(aList[i].pixel, aList[i].isCopy));
      std::vector<CRecord>().swap(aList);
      return true;
    }

    // The largest group of equal patches (ties: the group met first).
    const auto key = [&](int aPixel, int aK) {
      const float v = feature(aPixel)[mOffsets[aK]];
      std::uint32_t bits;
      std::memcpy(&bits, &v, sizeof bits);
      return v == 0.0f ? 0u : bits;
    };
    std::vector<int> order = activeIndices;
    std::sort(order.begin(), order.end(), [&](int a, int b) {
      for (int k = 0; k < mLength; ++k) {
        const std::uint32_t ka = key(aList[a].pixel, k), kb = key(aList[b].pixel, k);
        if (ka != kb) return ka < kb;
      }
      return a < b;
    });
    int bestSize = 0, bestFirst = -1;
    for (std::size_t start = 0; start < order.size();) {
      std::size_t end = start + 1;
      while (end < order.size() && samePatch(aList[order[end]].pixel, aList[order[start]].pixel)) ++end;
      const int size = static_cast<int>(end - start);
      if (size > bestSize || (size == bestSize && order[start] < bestFirst)) {
        bestSize = size;
        bestFirst = order[start];
      }
      start = end;
    }
    if (bestSize <= kMaxRepeatedLeaf) return false;

    const int shared = aList[bestFirst].pixel;
    for (const CRecord& e : aList) {
      if (!e.isCopy && samePatch(e.pixel, shared))
        aFirst.push_back(record(e.pixel, false));
      else
        aSecond.push_back(record(e.pixel, e.isCopy));
    }
    std::vector<CRecord>().swap(aList);
    return true;
  }

  CSettings mSettings;
  int mSide = 0;
  int mLength = 0;
  std::vector<int> mOffsets;
  NPatchKernels::CPatchLayout mLayout{};
  std::vector<float> mSum0, mSum1, mCentre0, mCentre1, mOld0, mOld1;
  // Scratch of the passes, kept between nodes to avoid reallocating.
  std::vector<int> mOwn0, mOwn1, mOther0, mOther1, mMoves, mPixels;
  std::vector<float> mDistOwn0, mDistOwn1, mDistOther0, mDistOther1;
};

}  // namespace

void build(const CSettings& aSettings, const std::vector<int>& aPixels, const std::function<void(CLeaf&&)>& aSink) {
  std::vector<CRecord> root;
  root.reserve(aPixels.size());
  for (int p : aPixels) root.push_back(record(p, false));
  CBuilder builder(aSettings);
  builder.run(std::move(root), aSink);
}

}  // namespace NPatchTree
