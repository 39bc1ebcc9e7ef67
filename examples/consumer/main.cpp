// Denoises a small generated image with the installed texture library and
// reports how much closer to the clean image the result is. Writes the noisy
// image and the result as PGM files when given a folder.
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include <texture/CMatrix.h>
#include <texture/CNLMeans.h>

namespace {

// Root mean squared difference of two images of the same size.
double rmse(const CMatrix<float>& aA, const CMatrix<float>& aB) {
  double sum = 0.0;
  for (int i = 0; i < aA.size(); ++i) {
    const double d = aA.data()[i] - aB.data()[i];
    sum += d * d;
  }
  return std::sqrt(sum / aA.size());
}

}  // namespace

int main(int argc, char** argv) {
  // 96 x 96 grey levels: a bright disc and a dark bar on a ramp.
  const int size = 96;
  CMatrix<float> clean(size, size);
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) {
      float v = 60.0f + x;
      if ((x - 40) * (x - 40) + (y - 45) * (y - 45) < 20 * 20) v = 200.0f;
      if (x > 65 && x < 80 && y > 10 && y < 85) v = 30.0f;
      clean(x, y) = v;
    }
  // Gaussian noise of standard deviation 20, rounded and clipped like an 8-bit file.
  std::mt19937 generator(7);
  std::normal_distribution<double> noise(0.0, 20.0);
  CMatrix<float> noisy(clean);
  for (int i = 0; i < noisy.size(); ++i)
    noisy.data()[i] = static_cast<float>(std::fmin(255.0, std::fmax(0.0, std::round(noisy.data()[i] + noise(generator)))));

  // The result matrix starts as a copy of the noisy image.
  CMatrix<float> result(noisy);
  CNLMeans denoiser;
  denoiser.patchRadius = 4;
  denoiser.clusterTreeGlobal(noisy, result, 10.0f, 0.0f);  // sigma: about half the noise level

  const double before = rmse(noisy, clean), after = rmse(result, clean);
  std::printf("RMSE to the clean image: noisy %.2f, denoised %.2f\n", before, after);
  if (argc > 1) {
    const std::string folder = argv[1];
    noisy.writeToPGM((folder + "/noisy.pgm").c_str());
    result.writeToPGM((folder + "/denoised.pgm").c_str());
  }
  return after < before ? 0 : 1;
}
