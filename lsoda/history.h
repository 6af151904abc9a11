// Sweeps over the Nordsieck history array YH (NYH rows; column j+1 holds
// h^j y^(j)/j!) done at every step: the prediction (YH times the Pascal
// triangle matrix, with the corrector's start taken in the same sweep), its
// reversal, the correction added to every column, and the rescaling of the
// columns by powers of a step ratio. The rows are
// independent, so each is taken into registers and given the operations a
// column-by-column sweep gives it, in the same order: the same bits with far
// fewer loads and stores. Each kernel is instantiated for every order and
// picked from a table. Relies on the C++ standard library alone.
#ifndef LSODA_HISTORY_H
#define LSODA_HISTORY_H

#include <cmath>
#include <utility>

namespace lsoda {
namespace history {

constexpr int kMaxColumns = 13;  // L = NQ + 1 <= 13 (Adams order 12)

// Prediction of order Q: for jb = 1..Q, for k = Q-jb..Q-1 (0-based
// columns, ascending) c[k] = c[k] + c[k+1]; with kSign < 0 the reversal
// c[k] = c[k] - c[k+1].
template <int Q, int kSign>
void pascal_rows(double* yh, int nyh) {
  for (int i = 0; i < nyh; ++i) {
    double c[Q + 1];
#pragma GCC unroll 13
    for (int k = 0; k <= Q; ++k) c[k] = yh[i + k * nyh];
#pragma GCC unroll 13
    for (int jb = 1; jb <= Q; ++jb) {
#pragma GCC unroll 13
      for (int k = Q - jb; k < Q; ++k) c[k] = kSign > 0 ? c[k] + c[k + 1] : c[k] - c[k + 1];
    }
#pragma GCC unroll 13
    for (int k = 0; k < Q; ++k) yh[i + k * nyh] = c[k];
  }
}

// The prediction of order Q (pascal_rows), and for the first n rows what the
// corrector starts from: Y = the predicted solution (YH column 1), ACOR = 0
// unless acor is null, and the return value DMNORM(n, Y, EWT).
template <int Q>
double predict_rows(double* yh, int nyh, int n, const double* ewt, double* y, double* acor) {
  double vm = 0.0;
  for (int i = 0; i < nyh; ++i) {
    double c[Q + 1];
#pragma GCC unroll 13
    for (int k = 0; k <= Q; ++k) c[k] = yh[i + k * nyh];
#pragma GCC unroll 13
    for (int jb = 1; jb <= Q; ++jb) {
#pragma GCC unroll 13
      for (int k = Q - jb; k < Q; ++k) c[k] = c[k] + c[k + 1];
    }
#pragma GCC unroll 13
    for (int k = 0; k < Q; ++k) yh[i + k * nyh] = c[k];
    if (i < n) {
      y[i] = c[0];
      const double x = std::fabs(c[0]) * ewt[i];
      vm = vm < x ? x : vm;
      if (acor != nullptr) acor[i] = 0.0;
    }
  }
  return vm;
}

// Column j of the first n rows (0-based j < L) += e[j] * acor.
template <int L>
void correct_rows(double* yh, int nyh, int n, const double* e, const double* acor) {
  double el[L];
#pragma GCC unroll 13
  for (int j = 0; j < L; ++j) el[j] = e[j];
  for (int i = 0; i < n; ++i) {
    const double a = acor[i];
#pragma GCC unroll 13
    for (int j = 0; j < L; ++j) yh[i + j * nyh] = yh[i + j * nyh] + el[j] * a;
  }
}

// Columns 2..L of the first n rows times r[1..L-1].
template <int L>
void scale_rows(double* yh, int nyh, int n, const double* r) {
  double f[L];
#pragma GCC unroll 13
  for (int j = 1; j < L; ++j) f[j] = r[j];
  for (int i = 0; i < n; ++i) {
#pragma GCC unroll 13
    for (int j = 1; j < L; ++j) yh[i + j * nyh] = yh[i + j * nyh] * f[j];
  }
}

using PascalKernel = void (*)(double*, int);
using PredictKernel = double (*)(double*, int, int, const double*, double*, double*);
using CorrectKernel = void (*)(double*, int, int, const double*, const double*);
using ScaleKernel = void (*)(double*, int, int, const double*);

template <int... J>
struct Tables {
  static constexpr PredictKernel predict[] = {nullptr, predict_rows<J + 1>...};
  static constexpr PascalKernel unpredict[] = {nullptr, pascal_rows<J + 1, -1>...};
  static constexpr CorrectKernel correct[] = {nullptr, correct_rows<J + 1>...};
  static constexpr ScaleKernel scale[] = {nullptr, scale_rows<J + 1>...};
};
template <int... J>
Tables<J...> tables_of(std::integer_sequence<int, J...>);
// Indexed by the order NQ (predict, unpredict) or the column count L
// (correct, scale), from 1 to 13.
using KernelTables = decltype(tables_of(std::make_integer_sequence<int, kMaxColumns>()));

// YH(1..NQ) predicted to TN + H; Y, ACOR and the norm as predict_rows says.
inline double predict(double* yh, int nyh, int nq, int n, const double* ewt, double* y,
                      double* acor) {
  return KernelTables::predict[nq](yh, nyh, n, ewt, y, acor);
}
// The prediction undone.
inline void unpredict(double* yh, int nyh, int nq) { KernelTables::unpredict[nq](yh, nyh); }
// YH column j += EL(j) * ACOR for j = 1..L, rows 1..N.
inline void add_correction(double* yh, int nyh, int n, int l, const double* el, const double* acor) {
  KernelTables::correct[l](yh, nyh, n, el, acor);
}
// YH column j *= r[j-1] for j = 2..L, rows 1..N.
inline void scale_columns(double* yh, int nyh, int n, int l, const double* r) {
  KernelTables::scale[l](yh, nyh, n, r);
}

}  // namespace history
}  // namespace lsoda

#endif  // LSODA_HISTORY_H
