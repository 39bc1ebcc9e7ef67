// NMath: scalar, angle and dense linear-algebra routines in single precision.
#pragma once

#include "CMatrix.h"
#include "CVector.h"

namespace NMath {

// Pi in single precision, 3.1415927 (bits 0x40490FDB).
extern const float Pi;

// n! as an int; 1 for n <= 1. Exact up to n = 12.
int faculty(int aN);
// The binomial coefficient n over k, computed as n over min(k, n - k); 1 when
// no factor remains (k <= 0 after that exchange). Exact while the product of
// the k factors stays below 2^31.
int binCoeff(int aN, int aK);
// Nearest integer, halves rounded upward: 2.5 gives 3, -2.5 gives -2.
int round(float aX);
// a + b wrapped once into [-Pi, Pi] (exactly +-Pi stay as they are).
float angleSum(float aA, float aB);
// a - b wrapped once into [-Pi, Pi].
float angleDifference(float aA, float aB);
// |a - b| folded into [0, Pi].
float absAngleDifference(float aA, float aB);
// Direction angle in (-Pi, Pi] of the vector from (x1, y1) to (x2, y2);
// -Pi along negative x, and -Pi/2 for two coincident points.
float tangent(float aX1, float aY1, float aX2, float aY2);

// Dense linear algebra. M[r][c] below is the element in row r and column c,
// element (c, r) of a CMatrix. Containers that are too small for the work are
// refused with EIncompatibleMatrices (ENonquadraticMatrix where the matrix
// must be square) before anything is written.

// Triangular solves with the lower triangle of L (diagonal included; nothing
// above the diagonal is read, the diagonal need not be 1). n is the size of b
// (vector forms) or the x-size of B (matrix forms); L must be at least n x n.
// L x = b by forward substitution into the first n elements of x.
void triangularSolve(CMatrix<float>& aL, CVector<float>& aB, CVector<float>& aX);
// L^T x = b by backward substitution into the first n elements of x.
void triangularSolveTransposed(CMatrix<float>& aL, CVector<float>& aB, CVector<float>& aX);
// Each row of B as right-hand side of L x = b, its solution into the same row
// of X (X = B L^-T); X needs at least n columns and B's number of rows.
void triangularSolve(CMatrix<float>& aL, CMatrix<float>& aB, CMatrix<float>& aX);
// Each row of B as right-hand side of L^T x = b (X = B L^-1).
void triangularSolveTransposed(CMatrix<float>& aL, CMatrix<float>& aB, CMatrix<float>& aX);

// Factors a symmetric positive definite matrix as L L^T in place: L goes
// below and on the diagonal, the upper triangle (the only part read besides
// the diagonal) stays. Throws ENonquadraticMatrix for a matrix that is not
// square. A matrix that is not positive definite is not reported: the
// factorisation stops where a square root of a value <= 0 would be needed,
// with the columns before it stored below the diagonal and the input's
// diagonal left in place.
void cholesky(CMatrix<float>& aA);
// Writes (L L^T)^-1 into aInverse from the factor left by cholesky (only its
// lower triangle is read). L must be square and aInverse of the same size.
void choleskyInv(const CMatrix<float>& aL, CMatrix<float>& aInverse);

// Householder QR in place of a matrix with at least as many rows as columns:
// R on and above the diagonal, the Householder vectors below it; b (at least
// as many elements as A has rows) becomes Q^T b. On a column that is zero
// from the diagonal down, or a column without a row left, writes
// "NMath::householder(): matrix is singular!" to std::cerr and stops there;
// the diagonal of that and later columns keeps its values.
void householder(CMatrix<float>& aA, CVector<float>& aB);
// The least-squares solution x of A x ~ b (one element per column of A); A
// and b are left as householder leaves them. Unknowns without an equation
// (more columns than rows) make the solution not-a-number.
CVector<float> leastSquares(CMatrix<float>& aA, CVector<float>& aB);

// Singular value decomposition A = U diag(W) V^T of an m-row, n-column matrix
// (Golub-Reinsch). A is replaced by U; the singular values go to the diagonal
// of W (at least n x n; nothing else in it is touched); V must be n x n and
// receives V, not transposed. With aSort the values descend in absolute value,
// the columns of U and V following them. aMaxIterations limits the QR sweeps
// spent on each value (none below 1); reaching the limit writes
// "svd: No convergence in <limit> iterations" to std::cerr and goes on.
void svd(CMatrix<float>& aA, CMatrix<float>& aW, CMatrix<float>& aV, bool aSort, int aMaxIterations);
// Replaces U by U diag(W) V^T, the three factors as svd leaves them. U must
// have as many columns as V, and W at least that many diagonal elements;
// otherwise EIncompatibleMatrices is thrown before U changes.
void svdBack(CMatrix<float>& aU, const CMatrix<float>& aW, const CMatrix<float>& aV);

// Eigen-decomposition of a symmetric matrix by cyclic Jacobi rotations. The
// order n is the size of aLambda; A (at least n x n, read on and above the
// diagonal only) is not changed. The eigenvalues go to aLambda by decreasing
// absolute value, the unit eigenvectors to the rows of aE (at least n x n; all
// of it is overwritten, E[k] belongs to lambda[k]).
void PATransformation(const CMatrix<float>& aA, CVector<float>& aLambda, CMatrix<float>& aE);
// Writes E^T diag(lambda) E into the top-left n x n block of aS (n the size of
// aLambda; aE and aS at least n x n).
void PABacktransformation(const CMatrix<float>& aE, const CVector<float>& aLambda, CMatrix<float>& aS);
// Replaces a symmetric matrix by its inverse after raising every eigenvalue
// below aBound to aBound. Throws ENonquadraticMatrix for a matrix that is not
// square.
void invRegularized(CMatrix<float>& aM, int aBound);

// Twist coordinates (theta v, theta omega) of the rigid-body motion in the top
// three rows of aMotion (rotation in columns 0..2, translation in column 3;
// at least 4 columns and 3 rows). aTwist gets exactly 6 elements. A rotation
// within 0.0001 (squared sum) of the identity counts as a pure translation.
void RBM2Twist(CVector<float>& aTwist, CMatrix<float>& aMotion);

}  // namespace NMath
