// Image quality figures of a denoised image against its clean original, and
// seeded Gaussian noise for experiments. Images are grey levels 0..255.
#pragma once

#include <cstdint>
#include <string>

#include "CMatrix.h"

namespace NQuality {

// Peak value of 8-bit images.
constexpr double kPeak = 255.0;

// Peak signal-to-noise ratio in decibels, 10 log10(255^2 / MSE), the mean
// squared difference taken in double precision over all pixels. Identical
// images give +infinity. Both images must have the same size (else
// std::invalid_argument) and at least one pixel.
double psnr(const CMatrix<float>& aClean, const CMatrix<float>& aTest);

// Side of the SSIM window.
constexpr int kSsimWindow = 11;

// Structural similarity after Wang, Bovik, Sheikh and Simoncelli (2004): the
// local means, variances (normalised by the window's weight sum, not by n - 1)
// and covariance over an 11 x 11 Gaussian window of standard deviation 1.5
// (normalised to sum 1), with C1 = (0.01 L)^2, C2 = (0.03 L)^2, L = 255,
// averaged over every window position that lies wholly inside the image. All
// in double precision. Identical images give 1. Both images must have the same
// size, at least 11 x 11 (else std::invalid_argument).
double ssim(const CMatrix<float>& aClean, const CMatrix<float>& aTest);

// Adds noise of standard deviation aSigma >= 0 to every pixel, in row order,
// rounds to the nearest integer (halves away from 0) and clips to 0..255. The
// normal variates come from std::mt19937 seeded with aSeed through the
// Box-Muller transform, so a seed gives the same image on every platform.
void addGaussianNoise(CMatrix<float>& aImage, double aSigma, std::uint32_t aSeed);

// A figure as pgmquality prints it: fixed with aDigits decimals, "inf" for
// +infinity.
std::string format(double aValue, int aDigits);

}  // namespace NQuality
