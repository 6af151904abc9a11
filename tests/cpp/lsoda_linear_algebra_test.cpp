// The method coefficients and the linear algebra of the integrator, judged
// by independent facts: the Adams-Moulton and BDF coefficients of the
// literature, and solutions of systems with known answers.
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "lsoda/record.h"

namespace {

using namespace lsoda;

struct Coefficients {
  double elco[12][13] = {};
  double tesco[12][3] = {};
  explicit Coefficients(int meth) { DCFODE(&meth, elco, tesco); }
  double ELCO(int i, int q) const { return elco[q - 1][i - 1]; }
  double TESCO(int k, int q) const { return tesco[q - 1][k - 1]; }
};

TEST(Coefficients, AdamsMoultonLeadingCoefficients) {
  // l0 of the Adams-Moulton method of order q is the weight of the newest
  // point: 1, 1/2, 5/12, 3/8, 251/720, 95/288.
  const Coefficients adams(1);
  const double l0[] = {1.0, 1.0 / 2, 5.0 / 12, 3.0 / 8, 251.0 / 720, 95.0 / 288};
  for (int q = 1; q <= 6; ++q) EXPECT_NEAR(adams.ELCO(1, q), l0[q - 1], 1e-15) << "q = " << q;
  for (int q = 1; q <= 12; ++q) EXPECT_EQ(adams.ELCO(2, q), 1.0);
  EXPECT_DOUBLE_EQ(adams.ELCO(3, 2), 0.5);
  EXPECT_EQ(adams.TESCO(2, 1), 2.0);
  EXPECT_DOUBLE_EQ(adams.TESCO(2, 2), 12.0);
  EXPECT_DOUBLE_EQ(adams.TESCO(2, 3), 24.0);
  // The error constants are positive and the chain TESCO(3,q) = TESCO(2,q+1) holds.
  for (int q = 1; q <= 11; ++q) {
    EXPECT_GT(adams.TESCO(2, q), 0.0);
    EXPECT_EQ(adams.TESCO(3, q), adams.TESCO(2, q + 1));
  }
}

TEST(Coefficients, BdfCoefficients) {
  const Coefficients bdf(2);
  // l0 = 1/(1 + 1/2 + ... + 1/q), the BDF weight of the newest derivative.
  double harmonic = 0.0;
  for (int q = 1; q <= 5; ++q) {
    harmonic += 1.0 / q;
    EXPECT_NEAR(bdf.ELCO(1, q), 1.0 / harmonic, 1e-15) << "q = " << q;
    EXPECT_EQ(bdf.ELCO(2, q), 1.0);
    EXPECT_NEAR(bdf.TESCO(2, q), (q + 1) * harmonic, 1e-13);
    EXPECT_NEAR(bdf.TESCO(3, q), (q + 2) * harmonic, 1e-13);
  }
  EXPECT_DOUBLE_EQ(bdf.ELCO(3, 2), 1.0 / 3);
  EXPECT_DOUBLE_EQ(bdf.ELCO(3, 3), 6.0 / 11);
  EXPECT_DOUBLE_EQ(bdf.ELCO(4, 3), 1.0 / 11);
  EXPECT_DOUBLE_EQ(bdf.TESCO(1, 3), 0.5);
  EXPECT_DOUBLE_EQ(bdf.TESCO(2, 5), 13.7);
}

// ---------------------------------------------------------------- full LU

// A x = b for a matrix whose pivots must be taken from lower rows.
TEST(LinearAlgebra, FullFactorisationPivotsAndSolves) {
  const int n = 4;
  // Column-major; A(1,1) = 0 forces a row interchange in the first column.
  std::vector<double> a = {0.0, 2.0, 1.0, -4.0,   // column 1
                           1.0, 1.0, 3.0, 1.0,    // column 2
                           2.0, -1.0, 0.5, 2.0,   // column 3
                           3.0, 0.0, 1.0, 1.0};   // column 4
  const std::vector<double> x = {1.0, -2.0, 0.5, 3.0};
  std::vector<double> b(n, 0.0), bt(n, 0.0);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      b[i] += a[i + j * n] * x[j];
      bt[j] += a[i + j * n] * x[i];
    }
  std::vector<int> ipvt(n);
  int nn = n, info = -1, job = 0;
  DGEFA(a.data(), &nn, &nn, ipvt.data(), &info);
  EXPECT_EQ(info, 0);
  EXPECT_EQ(ipvt[0], 4) << "largest |A(i,1)| is in row 4";
  EXPECT_EQ(ipvt[n - 1], n);
  DGESL(a.data(), &nn, &nn, ipvt.data(), b.data(), &job);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(b[i], x[i], 1e-13);
  job = 1;
  DGESL(a.data(), &nn, &nn, ipvt.data(), bt.data(), &job);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(bt[i], x[i], 1e-13) << "transposed solve";
}

TEST(LinearAlgebra, SingularMatrixReportsTheZeroPivot) {
  std::vector<double> a = {1.0, 2.0, 2.0, 4.0};  // rank 1
  std::vector<int> ipvt(2);
  int n = 2, info = 0;
  DGEFA(a.data(), &n, &n, ipvt.data(), &info);
  EXPECT_EQ(info, 2);
  std::vector<double> z = {0.0, 0.0, 0.0, 0.0};
  DGEFA(z.data(), &n, &n, ipvt.data(), &info);
  EXPECT_EQ(info, 2) << "the last zero pivot is reported";
}

TEST(LinearAlgebra, ScalarSystem) {
  double a = -4.0, b = 2.0;
  int ipvt = 0, n = 1, info = -1, job = 0;
  DGEFA(&a, &n, &n, &ipvt, &info);
  EXPECT_EQ(info, 0);
  EXPECT_EQ(ipvt, 1);
  DGESL(&a, &n, &n, &ipvt, &b, &job);
  EXPECT_EQ(b, -0.5);
}

// The unrolled LU of small systems (up to 8 equations; 9 goes through
// LINPACK itself) must be LINPACK's, bit for bit: the same pivots (the
// first of equal magnitudes), factors and solutions, zero multipliers
// skipped. Entries from {-1, -3/4, ..., 1} and thirds give ties, zeros,
// row interchanges and singular matrices.
TEST(LinearAlgebra, SmallSystemsFactorAndSolveAsLinpack) {
  std::mt19937 gen(20261209);
  int singular = 0;
  for (int n = 1; n <= 9; ++n) {
    for (int rep = 0; rep < 300; ++rep) {
      std::vector<double> a(n * n), b(n);
      const double scale = rep % 2 == 0 ? 4.0 : 3.0;
      for (double& v : a) v = static_cast<int>(gen() % 9) / scale - 4.0 / scale;
      for (double& v : b) v = static_cast<int>(gen() % 5) - 2.0;
      std::vector<double> a_ref = a, b_ref = b;
      std::vector<int> ipvt(n), ipvt_ref(n);
      int nn = n, info_ref = 0, job = 0;
      DGEFA(a_ref.data(), &nn, &nn, ipvt_ref.data(), &info_ref);
      const int info = factor_lu(a.data(), n, ipvt.data());
      ASSERT_EQ(info, info_ref) << "n = " << n << ", matrix " << rep;
      ASSERT_EQ(ipvt, ipvt_ref) << "n = " << n << ", matrix " << rep;
      ASSERT_EQ(std::memcmp(a.data(), a_ref.data(), sizeof(double) * a.size()), 0) << "factors";
      if (info != 0) {
        ++singular;
        continue;  // the integrator never solves with a zero pivot
      }
      DGESL(a_ref.data(), &nn, &nn, ipvt_ref.data(), b_ref.data(), &job);
      solve_lu(a.data(), n, ipvt.data(), b.data());
      ASSERT_EQ(std::memcmp(b.data(), b_ref.data(), sizeof(double) * b.size()), 0)
          << "solution, n = " << n << ", matrix " << rep;
    }
  }
  EXPECT_GT(singular, 50) << "singular matrices were among them";
}

// ---------------------------------------------------------------- band LU

// A tridiagonal-plus system solved in band form and in full form.
TEST(LinearAlgebra, BandSolveEqualsFullSolve) {
  const int n = 6, ml = 1, mu = 2, lda = 2 * ml + mu + 1;
  std::vector<double> full(n * n, 0.0), band(lda * n, 0.0);
  for (int j = 1; j <= n; ++j)
    for (int i = std::max(1, j - mu); i <= std::min(n, j + ml); ++i) {
      // Small diagonal entries force row interchanges.
      const double v = (i == j) ? 0.1 * i : (i * 7 + j * 3) % 5 + 1.0;
      full[(i - 1) + (j - 1) * n] = v;
      band[(i - j + ml + mu) + (j - 1) * lda] = v;
    }
  std::vector<double> x = {1.0, -1.0, 2.0, 0.5, -3.0, 4.0};
  std::vector<double> b(n, 0.0), bt(n, 0.0);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      b[i] += full[i + j * n] * x[j];
      bt[j] += full[i + j * n] * x[i];
    }
  std::vector<double> b_band = b, bt_band = bt;
  std::vector<int> ipvt_full(n), ipvt_band(n);
  int nn = n, nlda = lda, nml = ml, nmu = mu, info = -1, job = 0;
  DGEFA(full.data(), &nn, &nn, ipvt_full.data(), &info);
  ASSERT_EQ(info, 0);
  DGBFA(band.data(), &nlda, &nn, &nml, &nmu, ipvt_band.data(), &info);
  ASSERT_EQ(info, 0);
  EXPECT_EQ(ipvt_band, ipvt_full) << "the same pivots in both storage forms";
  DGBSL(band.data(), &nlda, &nn, &nml, &nmu, ipvt_band.data(), b_band.data(), &job);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(b_band[i], x[i], 1e-12);
  job = 1;
  DGBSL(band.data(), &nlda, &nn, &nml, &nmu, ipvt_band.data(), bt_band.data(), &job);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(bt_band[i], x[i], 1e-12) << "transposed band solve";
}

// ---------------------------------------------------------------- kernels

TEST(LinearAlgebra, VectorKernelsWithStrides) {
  std::vector<double> v = {1.0, -7.0, 3.0, 7.0, -2.0};
  int n = 5, one = 1, two = 2, minus_one = -1;
  EXPECT_EQ(IDAMAX(&n, v.data(), &one), 2) << "the first of equal magnitudes";
  int zero = 0;
  EXPECT_EQ(IDAMAX(&zero, v.data(), &one), 0);
  int three = 3;
  EXPECT_EQ(IDAMAX(&three, v.data(), &two), 2) << "elements 1, 3, -2";

  std::vector<double> x = {1.0, 2.0, 3.0}, y = {10.0, 20.0, 30.0};
  double a = 2.0;
  DAXPY(&three, &a, x.data(), &one, y.data(), &minus_one);
  // A negative stride runs from the end: y(3) += 2 x(1), y(2) += 2 x(2), y(1) += 2 x(3).
  EXPECT_EQ(y, (std::vector<double>{16.0, 24.0, 32.0}));
  EXPECT_EQ(DDOT(&three, x.data(), &one, y.data(), &one), 16.0 + 48.0 + 96.0);
  double s = -0.5;
  DSCAL(&three, &s, x.data(), &one);
  EXPECT_EQ(x, (std::vector<double>{-0.5, -1.0, -1.5}));
}

TEST(LinearAlgebra, NormsWithInvertedWeights) {
  // Inverted weights: |v_i| * w_i; the matrix norm is induced by this norm.
  std::vector<double> v = {1.0, -4.0, 2.0}, w = {1.0, 0.5, 3.0};
  int n = 3;
  EXPECT_EQ(DMNORM(&n, v.data(), w.data()), 6.0);
  int zero = 0;
  EXPECT_EQ(DMNORM(&zero, v.data(), w.data()), 0.0);
  // 2x2 matrix [[1, -2], [3, 4]] column-major, weights (1, 2):
  // row 1: (1/1 + 2/2) * 1 = 2; row 2: (3/1 + 4/2) * 2 = 10.
  std::vector<double> a = {1.0, 3.0, -2.0, 4.0}, w2 = {1.0, 2.0};
  int two = 2;
  EXPECT_EQ(DFNORM(&two, a.data(), w2.data()), 10.0);
}

TEST(LinearAlgebra, UnitRoundoff) { EXPECT_EQ(DUMACH(), std::ldexp(1.0, -52)); }

}  // namespace
