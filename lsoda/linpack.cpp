// Gaussian elimination with partial pivoting for full (DGEFA/DGESL) and
// banded (DGBFA/DGBSL, LINPACK band storage) matrices, and the vector
// kernels they use (IDAMAX, DSCAL, DAXPY, DDOT); factor_lu and solve_lu are
// DGEFA and DGESL's solve of A x = b unrolled for small systems. Column-major, 1-based indices in
// the comments, leading dimensions as given.
#include <cmath>
#include <utility>

#include "lsoda/record.h"

namespace lsoda {
namespace {

// Start of a strided vector of n elements: negative strides run from the end.
inline int first_index(int n, int inc) { return inc < 0 ? (-n + 1) * inc : 0; }

// DAXPY, DSCAL and IDAMAX with unit strides, for the factorisations and
// solves below: the same operations in the same order, inlined.
inline void axpy(int n, double a, const double* x, double* y) {
  if (n <= 0 || a == 0.0) return;
  for (int i = 0; i < n; ++i) y[i] = y[i] + a * x[i];
}
inline void scal(int n, double a, double* x) {
  for (int i = 0; i < n; ++i) x[i] = a * x[i];
}
inline int iamax(int n, const double* x) {
  if (n < 1) return 0;
  int best = 1;
  double dmax = std::fabs(x[0]);
  for (int i = 2; i <= n; ++i) {
    const double v = std::fabs(x[i - 1]);
    if (v > dmax) {
      best = i;
      dmax = v;
    }
  }
  return best;
}

}  // namespace

int IDAMAX(int* n, double* dx, int* incx) {
  const int nn = *n, inc = *incx;
  if (nn < 1) return 0;
  if (nn == 1) return 1;
  int ix = first_index(nn, inc);
  int best = 1;
  double dmax = std::fabs(dx[ix]);
  ix += inc;
  for (int i = 2; i <= nn; ++i, ix += inc) {
    const double v = std::fabs(dx[ix]);
    if (v > dmax) {
      best = i;
      dmax = v;
    }
  }
  return best;
}

void DSCAL(int* n, double* da, double* dx, int* incx) {
  const int nn = *n, inc = *incx;
  if (nn <= 0) return;
  const double a = *da;
  int ix = first_index(nn, inc);
  for (int i = 0; i < nn; ++i, ix += inc) dx[ix] = a * dx[ix];
}

void DAXPY(int* n, double* da, double* dx, int* incx, double* dy, int* incy) {
  const int nn = *n;
  const double a = *da;
  if (nn <= 0 || a == 0.0) return;
  int ix = first_index(nn, *incx), iy = first_index(nn, *incy);
  for (int i = 0; i < nn; ++i, ix += *incx, iy += *incy) dy[iy] = dy[iy] + a * dx[ix];
}

double DDOT(int* n, double* dx, int* incx, double* dy, int* incy) {
  const int nn = *n;
  double sum = 0.0;
  if (nn <= 0) return sum;
  int ix = first_index(nn, *incx), iy = first_index(nn, *incy);
  for (int i = 0; i < nn; ++i, ix += *incx, iy += *incy) sum = sum + dx[ix] * dy[iy];
  return sum;
}

// LU factors of the n-by-n matrix A (leading dimension lda) in place:
// IPVT(k) is the pivot row of column k; INFO = k when U(k,k) is exactly 0.
void DGEFA(double* a, int* lda, int* n, int* ipvt, int* info) {
  const int ld = *lda, nn = *n;
  auto A = [a, ld](int i, int j) -> double& { return a[(i - 1) + static_cast<long>(j - 1) * ld]; };
  *info = 0;
  for (int k = 1; k <= nn - 1; ++k) {
    int len = nn - k + 1;
    const int l = iamax(len, &A(k, k)) + k - 1;
    ipvt[k - 1] = l;
    if (A(l, k) == 0.0) {
      *info = k;  // this column is already triangular
      continue;
    }
    if (l != k) {
      const double t = A(l, k);
      A(l, k) = A(k, k);
      A(k, k) = t;
    }
    double t = -1.0 / A(k, k);
    int rest = nn - k;
    scal(rest, t, &A(k + 1, k));
    for (int j = k + 1; j <= nn; ++j) {
      t = A(l, j);
      if (l != k) {
        A(l, j) = A(k, j);
        A(k, j) = t;
      }
      axpy(rest, t, &A(k + 1, k), &A(k + 1, j));
    }
  }
  ipvt[nn - 1] = nn;
  if (A(nn, nn) == 0.0) *info = nn;
}

// Solves A x = b (JOB = 0) or A^T x = b (JOB != 0) with the factors of
// DGEFA, in place in B. Zero pivots are not checked.
void DGESL(double* a, int* lda, int* n, int* ipvt, double* b, int* job) {
  const int ld = *lda, nn = *n;
  auto A = [a, ld](int i, int j) -> double& { return a[(i - 1) + static_cast<long>(j - 1) * ld]; };
  int one = 1;
  if (*job == 0) {
    // L y = b.
    for (int k = 1; k <= nn - 1; ++k) {
      const int l = ipvt[k - 1];
      double t = b[l - 1];
      if (l != k) {
        b[l - 1] = b[k - 1];
        b[k - 1] = t;
      }
      int rest = nn - k;
      axpy(rest, t, &A(k + 1, k), &b[k]);
    }
    // U x = y.
    for (int kb = 1; kb <= nn; ++kb) {
      const int k = nn + 1 - kb;
      b[k - 1] = b[k - 1] / A(k, k);
      double t = -b[k - 1];
      int len = k - 1;
      axpy(len, t, &A(1, k), &b[0]);
    }
    return;
  }
  // U^T y = b.
  for (int k = 1; k <= nn; ++k) {
    int len = k - 1;
    const double t = DDOT(&len, &A(1, k), &one, &b[0], &one);
    b[k - 1] = (b[k - 1] - t) / A(k, k);
  }
  // L^T x = y.
  for (int kb = 1; kb <= nn - 1; ++kb) {
    const int k = nn - kb;
    int rest = nn - k;
    b[k - 1] = b[k - 1] + DDOT(&rest, &A(k + 1, k), &one, &b[k], &one);
    const int l = ipvt[k - 1];
    if (l != k) {
      const double t = b[l - 1];
      b[l - 1] = b[k - 1];
      b[k - 1] = t;
    }
  }
}

namespace {

// DGESL with JOB = 0 and LDA = N, for a fixed N: the same operations in the
// same order (an update with a zero multiplier skipped, as DAXPY skips it).
template <int N>
void solve_fixed(const double* a, const int* ipvt, double* b) {
  // L y = b.
#pragma GCC unroll 8
  for (int k = 1; k <= N - 1; ++k) {
    const int l = ipvt[k - 1];
    const double t = b[l - 1];
    if (l != k) {
      b[l - 1] = b[k - 1];
      b[k - 1] = t;
    }
    if (t == 0.0) continue;
    const double* const col = a + (k - 1) * N;
#pragma GCC unroll 8
    for (int i = k; i < N; ++i) b[i] = b[i] + t * col[i];
  }
  // U x = y.
#pragma GCC unroll 8
  for (int k = N; k >= 1; --k) {
    const double* const col = a + (k - 1) * N;
    b[k - 1] = b[k - 1] / col[k - 1];
    const double t = -b[k - 1];
    if (t == 0.0) continue;
#pragma GCC unroll 8
    for (int i = 0; i < k - 1; ++i) b[i] = b[i] + t * col[i];
  }
}

// DGEFA with LDA = N, for a fixed N: the same pivots, operations and order
// (IDAMAX's first largest magnitude, DSCAL's a*x, DAXPY's zero multipliers
// skipped). Returns INFO.
template <int N>
int factor_fixed(double* a, int* ipvt) {
  int info = 0;
#pragma GCC unroll 8
  for (int k = 1; k <= N - 1; ++k) {
    double* const colk = a + (k - 1) * N;
    int l = k;
    double dmax = std::fabs(colk[k - 1]);
#pragma GCC unroll 8
    for (int i = k + 1; i <= N; ++i) {
      const double v = std::fabs(colk[i - 1]);
      if (v > dmax) {
        l = i;
        dmax = v;
      }
    }
    ipvt[k - 1] = l;
    if (colk[l - 1] == 0.0) {
      info = k;
      continue;
    }
    if (l != k) {
      const double t = colk[l - 1];
      colk[l - 1] = colk[k - 1];
      colk[k - 1] = t;
    }
    const double t = -1.0 / colk[k - 1];
#pragma GCC unroll 8
    for (int i = k; i < N; ++i) colk[i] = t * colk[i];
#pragma GCC unroll 8
    for (int j = k + 1; j <= N; ++j) {
      double* const colj = a + (j - 1) * N;
      const double tj = colj[l - 1];
      if (l != k) {
        colj[l - 1] = colj[k - 1];
        colj[k - 1] = tj;
      }
      if (tj == 0.0) continue;
#pragma GCC unroll 8
      for (int i = k; i < N; ++i) colj[i] = colj[i] + tj * colk[i];
    }
  }
  ipvt[N - 1] = N;
  if (a[(N - 1) + (N - 1) * N] == 0.0) info = N;
  return info;
}

constexpr int kMaxFixed = 8;
template <int... N>
struct FixedTables {
  static constexpr int (*factor[])(double*, int*) = {factor_fixed<N + 1>...};
  static constexpr void (*solve[])(const double*, const int*, double*) = {solve_fixed<N + 1>...};
};
template <int... N>
FixedTables<N...> fixed_tables(std::integer_sequence<int, N...>);
using Fixed = decltype(fixed_tables(std::make_integer_sequence<int, kMaxFixed>()));

}  // namespace

int factor_lu(double* a, int n, int* ipvt) {
  if (n <= kMaxFixed) return Fixed::factor[n - 1](a, ipvt);
  int info = 0;
  DGEFA(a, &n, &n, ipvt, &info);
  return info;
}

void solve_lu(double* a, int n, int* ipvt, double* b) {
  if (n <= kMaxFixed) {
    Fixed::solve[n - 1](a, ipvt, b);
    return;
  }
  int job = 0;
  DGESL(a, &n, &n, ipvt, b, &job);
}

// LU factors of a band matrix with ML sub- and MU super-diagonals, stored
// in LINPACK band form: element (i,j) at ABD(i-j+ML+MU+1, j), leading
// dimension lda >= 2*ML+MU+1, rows 1..ML free for fill-in.
void DGBFA(double* abd, int* lda, int* n, int* ml, int* mu, int* ipvt, int* info) {
  const int ld = *lda, nn = *n, lo = *ml, up = *mu;
  auto B = [abd, ld](int i, int j) -> double& { return abd[(i - 1) + static_cast<long>(j - 1) * ld]; };
  const int m = lo + up + 1;
  *info = 0;
  // Zero the initial fill-in columns.
  const int j0 = up + 2;
  const int j1 = (nn < m ? nn : m) - 1;
  for (int jz = j0; jz <= j1; ++jz) {
    const int i0 = m + 1 - jz;
    for (int i = i0; i <= lo; ++i) B(i, jz) = 0.0;
  }
  int jz = j1;
  int ju = 0;
  for (int k = 1; k <= nn - 1; ++k) {
    const int kp1 = k + 1;
    // Zero the next fill-in column.
    ++jz;
    if (jz <= nn) {
      for (int i = 1; i <= lo; ++i) B(i, jz) = 0.0;
    }
    // Pivot among the ML+1 candidates of column k.
    int lm = lo < nn - k ? lo : nn - k;
    int lmp1 = lm + 1;
    int l = iamax(lmp1, &B(m, k)) + m - 1;
    ipvt[k - 1] = l + k - m;
    if (B(l, k) == 0.0) {
      *info = k;
      continue;
    }
    if (l != m) {
      const double t = B(l, k);
      B(l, k) = B(m, k);
      B(m, k) = t;
    }
    double t = -1.0 / B(m, k);
    scal(lm, t, &B(m + 1, k));
    // Row elimination with column indexing.
    const int reach = up + ipvt[k - 1];
    ju = ju > reach ? ju : reach;
    ju = ju < nn ? ju : nn;
    int mm = m;
    for (int j = kp1; j <= ju; ++j) {
      --l;
      --mm;
      t = B(l, j);
      if (l != mm) {
        B(l, j) = B(mm, j);
        B(mm, j) = t;
      }
      axpy(lm, t, &B(m + 1, k), &B(mm + 1, j));
    }
  }
  ipvt[nn - 1] = nn;
  if (B(m, nn) == 0.0) *info = nn;
}

// Solves with the band factors of DGBFA, in place in B.
void DGBSL(double* abd, int* lda, int* n, int* ml, int* mu, int* ipvt, double* b, int* job) {
  const int ld = *lda, nn = *n, lo = *ml, up = *mu;
  auto B = [abd, ld](int i, int j) -> double& { return abd[(i - 1) + static_cast<long>(j - 1) * ld]; };
  int one = 1;
  const int m = up + lo + 1;
  if (*job == 0) {
    if (lo != 0) {
      for (int k = 1; k <= nn - 1; ++k) {
        int lm = lo < nn - k ? lo : nn - k;
        const int l = ipvt[k - 1];
        double t = b[l - 1];
        if (l != k) {
          b[l - 1] = b[k - 1];
          b[k - 1] = t;
        }
        axpy(lm, t, &B(m + 1, k), &b[k]);
      }
    }
    for (int kb = 1; kb <= nn; ++kb) {
      const int k = nn + 1 - kb;
      b[k - 1] = b[k - 1] / B(m, k);
      int lm = (k < m ? k : m) - 1;
      const int la = m - lm;
      const int lb = k - lm;
      double t = -b[k - 1];
      axpy(lm, t, &B(la, k), &b[lb - 1]);
    }
    return;
  }
  for (int k = 1; k <= nn; ++k) {
    int lm = (k < m ? k : m) - 1;
    const int la = m - lm;
    const int lb = k - lm;
    const double t = DDOT(&lm, &B(la, k), &one, &b[lb - 1], &one);
    b[k - 1] = (b[k - 1] - t) / B(m, k);
  }
  if (lo != 0) {
    for (int kb = 1; kb <= nn - 1; ++kb) {
      const int k = nn - kb;
      int lm = lo < nn - k ? lo : nn - k;
      b[k - 1] = b[k - 1] + DDOT(&lm, &B(m + 1, k), &one, &b[k], &one);
      const int l = ipvt[k - 1];
      if (l != k) {
        const double t = b[l - 1];
        b[l - 1] = b[k - 1];
        b[k - 1] = t;
      }
    }
  }
}

}  // namespace lsoda
