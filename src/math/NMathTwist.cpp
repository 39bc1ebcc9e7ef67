// Rigid-body motion to twist coordinates: the logarithm of a homogeneous
// motion [R t] in screw form, (theta v, theta omega).
#include <cmath>

#include "Exceptions.h"
#include "MatrixOperators.h"
#include "NMath.h"

namespace NMath {

namespace {

// Squared distance of the rotation block from the identity, column by column;
// the diagonal terms are formed and added in double.
float distanceFromIdentity(const CMatrix<float>& aM) {
  float d = 0.0f;
  for (int c = 0; c < 3; ++c)
    for (int r = 0; r < 3; ++r) {
      const float element = aM(c, r);
      if (r == c) {
        const double difference = static_cast<double>(element) - 1.0;
        d = static_cast<float>(static_cast<double>(d) + difference * difference);
      } else {
        d = d + element * element;
      }
    }
  return d;
}

// Below this cosine the rotation is one by 180 degrees as far as a float
// matrix can tell (within about 0.08 degrees): its antisymmetric part is then
// mostly rounding and gives no usable axis, and acos near -1 turns one unit
// of rounding in the cosine into an angle error of up to 3.5e-4.
constexpr float kHalfTurnCosine = -0.999999f;

// Angle and axis of a rotation by about 180 degrees. The axis comes from the
// symmetric part of R + I, close to 2 omega omega^T there: its column with
// the largest diagonal entry, normalised and signed to agree with the
// antisymmetric part. The angle is atan2 of half the antisymmetric part's
// length and the cosine, which stays accurate near 180 degrees.
float halfTurn(const CMatrix<float>& aM, float aTrace, float aOmega[3]) {
  int j = 0;
  for (int i = 1; i < 3; ++i)
    if (aM(i, i) > aM(j, j)) j = i;
  double axis[3];
  for (int i = 0; i < 3; ++i)
    axis[i] = i == j ? static_cast<double>(aM(j, j)) + 1.0
                     : 0.5 * (static_cast<double>(aM(j, i)) + static_cast<double>(aM(i, j)));
  const double length = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
  const double antisymmetric[3] = {static_cast<double>(aM(1, 2)) - static_cast<double>(aM(2, 1)),
                                   static_cast<double>(aM(2, 0)) - static_cast<double>(aM(0, 2)),
                                   static_cast<double>(aM(0, 1)) - static_cast<double>(aM(1, 0))};
  const double agreement =
      axis[0] * antisymmetric[0] + axis[1] * antisymmetric[1] + axis[2] * antisymmetric[2];
  const double scale = agreement < 0.0 ? -1.0 / length : 1.0 / length;
  for (int i = 0; i < 3; ++i) aOmega[i] = static_cast<float>(axis[i] * scale);
  const double sine = 0.5 * std::sqrt(antisymmetric[0] * antisymmetric[0] + antisymmetric[1] * antisymmetric[1] +
                                      antisymmetric[2] * antisymmetric[2]);
  return static_cast<float>(std::atan2(sine, (static_cast<double>(aTrace) - 1.0) * 0.5));
}

}  // namespace

void RBM2Twist(CVector<float>& aTwist, CMatrix<float>& aMotion) {
  if (aMotion.xSize() < 4 || aMotion.ySize() < 3) throw EIncompatibleMatrices(aMotion.xSize(), aMotion.ySize(), 4, 3);
  // R[r][c] = aMotion(c, r), t[r] = aMotion(3, r).
  CVector<float> t(3);
  for (int r = 0; r < 3; ++r) t(r) = aMotion(3, r);

  const float d = distanceFromIdentity(aMotion);
  if (static_cast<double>(d) < 0.0001) {
    aTwist.setSize(6);
    for (int i = 0; i < 3; ++i) {
      aTwist(i) = t(i);
      aTwist(i + 3) = 0.0f;
    }
    return;
  }

  const float trace = (aMotion(0, 0) + aMotion(1, 1)) + aMotion(2, 2);
  float c = static_cast<float>((static_cast<double>(trace) - 1.0) * 0.5);
  if (c > 1.0f) c = 1.0f;
  if (c < -1.0f) c = -1.0f;
  float theta;
  float omega[3];
  if (c < kHalfTurnCosine) {
    theta = halfTurn(aMotion, trace, omega);
  } else {
    theta = std::acos(c);
    if (std::sin(static_cast<double>(theta)) == 0.0) theta = static_cast<float>(static_cast<double>(theta) + 0.001);
    omega[0] = aMotion(1, 2) - aMotion(2, 1);
    omega[1] = aMotion(2, 0) - aMotion(0, 2);
    omega[2] = aMotion(0, 1) - aMotion(1, 0);
    const float f = static_cast<float>(1.0 / (2.0 * std::sin(static_cast<double>(theta))));
    for (float& w : omega) w = w * f;
  }

  // Skew matrix and outer product of omega.
  CMatrix<float> skew(3, 3);
  skew(0, 0) = 0.0f;       skew(1, 0) = -omega[2];  skew(2, 0) = omega[1];
  skew(0, 1) = omega[2];   skew(1, 1) = 0.0f;       skew(2, 1) = -omega[0];
  skew(0, 2) = -omega[1];  skew(1, 2) = omega[0];   skew(2, 2) = 0.0f;
  CMatrix<float> outer(3, 3);
  for (int r = 0; r < 3; ++r)
    for (int col = 0; col < 3; ++col) outer(col, r) = omega[r] * omega[col];

  // exp(skew theta) by Rodrigues' formula.
  const float k = static_cast<float>(1.0 - std::cos(static_cast<double>(theta)));
  const float s = std::sin(theta);
  CMatrix<float> rotation = s * skew + k * (skew * skew);
  for (int i = 0; i < 3; ++i) rotation(i, i) = rotation(i, i) + 1.0f;

  // B = (I - exp(skew theta)) skew + theta omega omega^T, so that t = B v.
  CMatrix<float> b(3, 3);
  b.fill(0.0f);
  for (int i = 0; i < 3; ++i) b(i, i) = 1.0f;
  b -= rotation;
  b *= skew;
  b += theta * outer;
  b.inv();
  const CVector<float> v = b * t;

  aTwist.setSize(6);
  for (int i = 0; i < 3; ++i) {
    aTwist(i) = theta * v(i);
    aTwist(i + 3) = theta * omega[i];
  }
}

}  // namespace NMath
