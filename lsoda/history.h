// Sweeps over the Nordsieck history array YH (NYH rows; column j+1 holds
// h^j y^(j)/j!) done at every step: the prediction (YH times the Pascal
// triangle matrix, with the corrector's start taken in the same sweep), its
// reversal, the correction added to every column, and the rescaling of the
// columns by powers of a step ratio. The rows are independent, so each is
// taken into registers and given the operations a column-by-column sweep
// gives it, in the same order: the same bits with far fewer loads and
// stores; rows go in pairs (pairs.h). Each kernel is instantiated for every
// order and picked from a table.
#ifndef LSODA_HISTORY_H
#define LSODA_HISTORY_H

#include <utility>

#include "lsoda/pairs.h"

namespace lsoda {
namespace history {

constexpr int kMaxColumns = 13;  // L = NQ + 1 <= 13 (Adams order 12)

// Prediction of order Q on row(s) i: for jb = 1..Q, for k = Q-jb..Q-1
// (0-based columns, ascending) c[k] = c[k] + c[k+1]; with kSign < 0 the
// reversal c[k] = c[k] - c[k+1]. Returns the new column 0.
template <int Q, int kSign, class T>
inline T pascal_row(double* yh, int nyh, int i) {
  T c[Q + 1];
#pragma GCC unroll 13
  for (int k = 0; k <= Q; ++k) c[k] = load_at<T>(yh + k * nyh, i);
#pragma GCC unroll 13
  for (int jb = 1; jb <= Q; ++jb) {
#pragma GCC unroll 13
    for (int k = Q - jb; k < Q; ++k) c[k] = kSign > 0 ? c[k] + c[k + 1] : c[k] - c[k + 1];
  }
#pragma GCC unroll 13
  for (int k = 0; k < Q; ++k) store_at<T>(yh + k * nyh, i, c[k]);
  return c[0];
}

template <int Q, int kSign>
void pascal_rows(double* yh, int nyh) {
  int i = 0;
  for (; i + 1 < nyh; i += 2) pascal_row<Q, kSign, Pair>(yh, nyh, i);
  if (i < nyh) pascal_row<Q, kSign, double>(yh, nyh, i);
}

// The prediction of order Q, and for the first n rows what the corrector
// starts from: Y = the predicted solution (YH column 1), ACOR = 0 unless
// acor is null, and the return value DMNORM(n, Y, EWT) (its terms taken in
// row order).
template <int Q>
double predict_rows(double* yh, int nyh, int n, const double* ewt, double* y, double* acor) {
  double vm = 0.0;
  auto finish_row = [&](int i, double y0) {
    if (i >= n) return;
    y[i] = y0;
    fold_norm(vm, y0, ewt, i);
    if (acor != nullptr) acor[i] = 0.0;
  };
  int i = 0;
  for (; i + 1 < nyh; i += 2) {
    const Pair y0 = pascal_row<Q, 1, Pair>(yh, nyh, i);
    finish_row(i, y0[0]);
    finish_row(i + 1, y0[1]);
  }
  if (i < nyh) finish_row(i, pascal_row<Q, 1, double>(yh, nyh, i));
  return vm;
}

// Column j of the first n rows (0-based j < L) += e[j] * acor.
template <int L, class T>
inline void correct_row(double* yh, int nyh, int i, const double* el, T a) {
#pragma GCC unroll 13
  for (int j = 0; j < L; ++j) {
    const T v = load_at<T>(yh + j * nyh, i);
    store_at<T>(yh + j * nyh, i, v + el[j] * a);
  }
}
template <int L>
void correct_rows(double* yh, int nyh, int n, const double* e, const double* acor) {
  double el[L];
#pragma GCC unroll 13
  for (int j = 0; j < L; ++j) el[j] = e[j];
  int i = 0;
  for (; i + 1 < n; i += 2) correct_row<L, Pair>(yh, nyh, i, el, load_pair(acor + i));
  if (i < n) correct_row<L, double>(yh, nyh, i, el, acor[i]);
}

// Columns 2..L of the first n rows times r[1..L-1].
template <int L, class T>
inline void scale_row(double* yh, int nyh, int i, const double* f) {
#pragma GCC unroll 13
  for (int j = 1; j < L; ++j) store_at<T>(yh + j * nyh, i, load_at<T>(yh + j * nyh, i) * f[j]);
}
template <int L>
void scale_rows(double* yh, int nyh, int n, const double* r) {
  double f[L];
#pragma GCC unroll 13
  for (int j = 1; j < L; ++j) f[j] = r[j];
  int i = 0;
  for (; i + 1 < n; i += 2) scale_row<L, Pair>(yh, nyh, i, f);
  if (i < n) scale_row<L, double>(yh, nyh, i, f);
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
