#include "CNLMeans.h"

#include <cmath>

#include "NMath.h"

void CNLMeans::makeGaussianWindow(CMatrix<float>& aWindow, int aRadius) {
  const float s = static_cast<float>(static_cast<double>(aRadius) * (static_cast<double>(aRadius) * 0.5) + 0.01);
  const int side = 2 * aRadius + 1;
  aWindow.setSize(side, side);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) {
      const int dx = x - aRadius;
      const int dy = y - aRadius;
      const float e = static_cast<float>(-(dx * dx + dy * dy)) / s;
      const float f = s * NMath::Pi;
      aWindow(x, y) = static_cast<float>(std::pow(static_cast<double>(f), -0.5) * std::exp(static_cast<double>(e)));
    }
  // The centre pixel takes no part in a patch comparison.
  aWindow(aRadius, aRadius) = 0.0f;
}
