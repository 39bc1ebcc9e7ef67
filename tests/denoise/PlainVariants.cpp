#include "PlainVariants.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "CElement.h"
#include "CNLMeansCommon.h"
#include "Preselection.h"

using namespace NLMeansCommon;

namespace PlainVariants {

void standardNLMeans(const CNLMeans& aSettings, const CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma) {
  const int xSize = aInput.xSize(), ySize = aInput.ySize();
  const std::vector<float> copy(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(aSettings.patchRadius);
  const float kernel = filterKernel(aSettings.filterFactor, aSigma);
  const int radius = clippedRadius(aSettings.searchRadius, xSize, ySize);
  for (int y = 0; y < ySize; ++y)
    for (int x = 0; x < xSize; ++x)
      windowedEstimate(copy.data(), aInput.data(), xSize, ySize, x, y, radius, kernel, window)
          .store(aInput(x, y), aResult(x, y));
}

void preselection(const CNLMeans& aSettings, const CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma) {
  const int xSize = aInput.xSize(), ySize = aInput.ySize();
  const std::vector<float> copy(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(aSettings.patchRadius);
  const int r = window.radius;
  std::vector<float> mean(copy.size()), spread(copy.size());
  for (int y = 0; y < ySize; ++y)
    for (int x = 0; x < xSize; ++x) {
      float m = 0.0f, v2 = 0.0f, weightSum = 0.0f;
      for (int dy = std::max(-r, -y); dy <= std::min(r, ySize - 1 - y); ++dy)
        for (int dx = std::max(-r, -x); dx <= std::min(r, xSize - 1 - x); ++dx) {
          const float w = window.at(dx, dy);
          const float v = copy[(x + dx) + (y + dy) * xSize];
          m = w * v + m;
          v2 = v * (v * w) + v2;
          weightSum += w;
        }
      const float c = 1.0f / weightSum;
      m = c * m;
      mean[x + y * xSize] = m;
      spread[x + y * xSize] = (v2 - m * m) * c;
    }
  const float kernel = filterKernel(aSettings.filterFactor, aSigma);
  const int radius = clippedRadius(aSettings.searchRadius, xSize, ySize);
  const float* values = aInput.data();
  for (int y = 0; y < ySize; ++y)
    for (int x = 0; x < xSize; ++x) {
      const int p = x + y * xSize;
      CEstimate estimate;
      for (int qy = std::max(y - radius, 0); qy <= std::min(y + radius, ySize - 1); ++qy)
        for (int qx = std::max(x - radius, 0); qx <= std::min(x + radius, xSize - 1); ++qx) {
          const int q = qx + qy * xSize;
          if (!preselectionAccepts(mean[p], mean[q], spread[p], spread[q])) continue;
          if (q == p) continue;
          float distance;
          if (!boundedDistance(copy.data(), xSize, ySize, x, y, qx, qy, window, distance)) continue;
          estimate.add(std::exp(kernel * distance), values[q]);
        }
      estimate.store(values[p], aResult(x, y));
    }
}

void gridding(const CNLMeans& aSettings, const CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma,
              int aTileHalfSize) {
  if (aTileHalfSize < 0 || aSettings.searchRadius < 0) return;
  const int xSize = aInput.xSize(), ySize = aInput.ySize();
  const std::vector<float> copy(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(aSettings.patchRadius);
  const float kernel = filterKernel(aSettings.filterFactor, aSigma);
  const long long a = aTileHalfSize, side = 2 * a + 1, radius = aSettings.searchRadius, r = aSettings.patchRadius;
  const float* values = aInput.data();
  for (long long ty = 0; ty < ySize; ty += side)
    for (long long tx = 0; tx < xSize; tx += side) {
      const long long cxLong = tx + a, cyLong = ty + a;
      if (cxLong - r > xSize - 1 || cyLong - r > ySize - 1) continue;
      const int cx = static_cast<int>(cxLong), cy = static_cast<int>(cyLong);
      // Sums per tile offset in [-a, a]^2; only those inside the image are written.
      std::vector<float> sums(static_cast<size_t>(side * side), 0.0f), weightSums(sums.size(), 0.0f);
      float maxWeight = 0.0f;
      for (long long qy = std::max(cyLong - radius, 0LL); qy <= std::min(cyLong + radius, ySize - 1LL); ++qy)
        for (long long qx = std::max(cxLong - radius, 0LL); qx <= std::min(cxLong + radius, xSize - 1LL); ++qx) {
          if (qx == cx && qy == cy) continue;
          float distance;
          if (!boundedDistance(copy.data(), xSize, ySize, cx, cy, static_cast<int>(qx), static_cast<int>(qy), window,
                               distance))
            continue;
          const float b = std::exp(kernel * distance);
          maxWeight = std::max(b, maxWeight);
          for (long long oy = std::max(-a, -qy); oy <= std::min(a, ySize - 1 - qy); ++oy)
            for (long long ox = std::max(-a, -qx); ox <= std::min(a, xSize - 1 - qx); ++ox) {
              const size_t at = static_cast<size_t>((a + ox) + side * (a + oy));
              sums[at] = b * values[(qx + ox) + (qy + oy) * xSize] + sums[at];
              weightSums[at] += b;
            }
        }
      for (long long oy = std::max(-a, -cyLong); oy <= std::min(a, ySize - 1 - cyLong); ++oy)
        for (long long ox = std::max(-a, -cxLong); ox <= std::min(a, xSize - 1 - cxLong); ++ox) {
          const size_t at = static_cast<size_t>((a + ox) + side * (a + oy));
          const long long pixel = (cx + ox) + (cy + oy) * xSize;
          const float p = maxWeight * values[pixel] + sums[at];
          const float q = maxWeight + weightSums[at];
          if (q > 0.0f) aResult.data()[pixel] = p / q;
        }
    }
}

namespace {

float gaussianDraw(int aT, int aU) {
  const float f = static_cast<float>(aT) * 4.656613e-10f;
  if (!(f > 0.0f)) return 0.0f;
  const double angle = static_cast<double>(static_cast<float>(aU) * 4.656613e-10f) * 6.2831853072;
  return static_cast<float>(std::sqrt(std::log(static_cast<double>(f)) * -2.0) * std::cos(angle));
}

}  // namespace

void sampling(const CNLMeans& aSettings, const CMatrix<float>& aInput, CMatrix<float>& aResult, float aSigma,
              int aCount) {
  const int R = aSettings.searchRadius;
  if (R < 1 || aCount < 1) return;
  const int xSize = aInput.xSize(), ySize = aInput.ySize();
  const std::vector<float> copy(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(aSettings.patchRadius);
  const float kernel = filterKernel(aSettings.filterFactor, aSigma);
  const double scale = static_cast<double>(R) * 0.5;
  // The whole mask of offsets [-R, R - 1]^2, as the method is described.
  std::vector<unsigned char> drawn(static_cast<size_t>(2 * R) * (2 * R));
  for (int y = 0; y < ySize; ++y)
    for (int x = 0; x < xSize; ++x) {
      std::fill(drawn.begin(), drawn.end(), 0);
      drawn[R + R * 2 * R] = 1;
      CEstimate estimate;
      int accepted = 0, sinceAccepted = 0;
      while (accepted < aCount) {
        const int t1 = std::rand(), u1 = std::rand(), t2 = std::rand(), u2 = std::rand();
        const float g1 = gaussianDraw(t1, u1), g2 = gaussianDraw(t2, u2);
        if (++sinceAccepted > 5 * aCount) break;
        const int qx = x + static_cast<int>(static_cast<double>(g1) * scale);
        const int qy = y + static_cast<int>(static_cast<double>(g2) * scale);
        if (qx < 0 || qy < 0 || qx >= xSize || qy >= ySize) continue;
        if (qx - x < -R || qx - x > R - 1 || qy - y < -R || qy - y > R - 1) continue;
        unsigned char& mark = drawn[(qx - x + R) + (qy - y + R) * 2 * R];
        if (mark) continue;
        mark = 1;
        ++accepted;
        sinceAccepted = 0;
        float distance;
        if (boundedDistance(copy.data(), xSize, ySize, x, y, qx, qy, window, distance))
          estimate.add(std::exp(kernel * distance), aInput(qx, qy));
      }
      estimate.store(aInput(x, y), aResult(x, y));
    }
}

void sortingCriterion(const CNLMeans& aSettings, const CMatrix<float>& aInput, CMatrix<float>& aResult, int aBest) {
  if (aBest < 1 || aSettings.searchRadius < 0) return;
  const int xSize = aInput.xSize(), ySize = aInput.ySize();
  const std::vector<float> copy(aResult.data(), aResult.data() + aResult.size());
  const CPatchWindow window(aSettings.patchRadius);
  const int radius = clippedRadius(aSettings.searchRadius, xSize, ySize);
  std::vector<CElement> candidates;
  for (int y = 0; y < ySize; ++y)
    for (int x = 0; x < xSize; ++x) {
      candidates.clear();
      for (int qy = std::max(y - radius, 0); qy <= std::min(y + radius, ySize - 1); ++qy)
        for (int qx = std::max(x - radius, 0); qx <= std::min(x + radius, xSize - 1); ++qx) {
          CElement candidate;
          candidate.distance = rankingDistance(copy.data(), xSize, ySize, x, y, qx, qy, window);
          candidate.value = aInput(qx, qy);
          candidates.push_back(candidate);
        }
      std::sort(candidates.begin(), candidates.end());
      const int used = std::min(aBest, static_cast<int>(candidates.size()));
      float sum = 0.0f;
      for (int i = 0; i < used; ++i) sum += candidates[i].value;
      aResult(x, y) = sum / static_cast<float>(used);
    }
}

void gilboaOsherBuildWeights(CNLMeans& aGraph, const CMatrix<float>& aImage, float aSigma) {
  const int xSize = aImage.xSize(), ySize = aImage.ySize();
  for (CTensor<float>* t : {&aGraph.weights}) {
    t->setSize(xSize, ySize, 14);
    t->fill(0.0f);
  }
  for (CTensor<int>* t : {&aGraph.neighborX, &aGraph.neighborY}) {
    t->setSize(xSize, ySize, 14);
    t->fill(0);
  }
  const CPatchWindow window(aGraph.patchRadius);
  const float kernel = filterKernel(aGraph.filterFactor, aSigma);
  const int radius = clippedRadius(aGraph.searchRadius, xSize, ySize);
  const auto weightOf = [kernel](float aDistance) { return std::isinf(aDistance) ? 0.0f : std::exp(kernel * aDistance); };
  const auto neighbourLayer = [](int aX, int aY, int aQx, int aQy) {
    if (aQy == aY && aQx == aX - 1) return 0;
    if (aQy == aY && aQx == aX + 1) return 1;
    if (aQx == aX && aQy == aY - 1) return 2;
    if (aQx == aX && aQy == aY + 1) return 3;
    return -1;
  };
  std::vector<CElement> candidates;
  for (int y = 0; y < ySize; ++y)
    for (int x = 0; x < xSize; ++x) {
      candidates.clear();
      for (int qy = std::max(y - radius, 0); qy <= std::min(y + radius, ySize - 1); ++qy)
        for (int qx = std::max(x - radius, 0); qx <= std::min(x + radius, xSize - 1); ++qx) {
          CElement candidate;
          candidate.distance = rankingDistance(aImage.data(), xSize, ySize, x, y, qx, qy, window);
          candidate.x = qx;
          candidate.y = qy;
          const int layer = neighbourLayer(x, y, qx, qy);
          if (layer >= 0) aGraph.weights(x, y, layer) = weightOf(candidate.distance);
          candidates.push_back(candidate);
        }
      std::sort(candidates.begin(), candidates.end());
      for (int i = 0; i < std::min(5, static_cast<int>(candidates.size())); ++i) {
        aGraph.neighborX(x, y, 4 + i) = candidates[i].x;
        aGraph.neighborY(x, y, 4 + i) = candidates[i].y;
        if (neighbourLayer(x, y, candidates[i].x, candidates[i].y) < 0)
          aGraph.weights(x, y, 4 + i) = weightOf(candidates[i].distance);
      }
      const int dx[4] = {-1, 1, 0, 0}, dy[4] = {0, 0, -1, 1};
      for (int k = 0; k < 4; ++k) {
        aGraph.neighborX(x, y, k) = x + dx[k];
        aGraph.neighborY(x, y, k) = y + dy[k];
      }
    }
  std::vector<int> reverseCount(static_cast<size_t>(xSize) * ySize, 0);
  for (int y = 0; y < ySize; ++y)
    for (int x = 0; x < xSize; ++x)
      for (int i = 0; i < 5; ++i) {
        const float w = aGraph.weights(x, y, 4 + i);
        if (!(w > 0.0f)) continue;
        const int qx = aGraph.neighborX(x, y, 4 + i), qy = aGraph.neighborY(x, y, 4 + i);
        int& count = reverseCount[qx + static_cast<size_t>(qy) * xSize];
        if (count == 5) continue;
        aGraph.weights(qx, qy, 9 + count) = w;
        aGraph.neighborX(qx, qy, 9 + count) = x;
        aGraph.neighborY(qx, qy, 9 + count) = y;
        ++count;
      }
}

void gilboaOsherStep(const CNLMeans& aGraph, CMatrix<float>& aImage, bool aTotalVariation) {
  const int xSize = aImage.xSize(), ySize = aImage.ySize();
  const std::vector<float> old(aImage.data(), aImage.data() + aImage.size());
  for (int y = 0; y < ySize; ++y)
    for (int x = 0; x < xSize; ++x) {
      const float own = old[x + y * xSize];
      int links = 0;
      float sum = 0.0f;
      for (int k = 0; k < aGraph.weights.zSize(); ++k) {
        const float w = aGraph.weights(x, y, k);
        if (!(w > 0.0f)) continue;
        const float d = old[aGraph.neighborX(x, y, k) + aGraph.neighborY(x, y, k) * xSize] - own;
        ++links;
        if (aTotalVariation) {
          const float a = w * d, b = d * d;
          sum = static_cast<float>(static_cast<double>(sum) +
                                   static_cast<double>(a) / std::sqrt(static_cast<double>(b) + 1e-5));
        } else {
          sum = sum + w * d;
        }
      }
      if (links > 0) aImage(x, y) = sum / static_cast<float>(links) + aImage(x, y);
    }
}

}  // namespace PlainVariants
