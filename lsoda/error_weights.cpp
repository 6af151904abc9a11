// The error weights of the local error test: EWT(i) = RTOL(i)*|y(i)| +
// ATOL(i), with scalar or vector RTOL and ATOL as ITOL says (DEWSET). Their
// inversion (invert_error_weights, inline in record.h) makes the weighted
// max-norm DMNORM of a vector <= 1 when every component is within its
// tolerance; before each step both are done in one pass with the norm of
// the solution (step_error_weights). Relies on nothing else.
#include <cmath>

#include "lsoda/pairs.h"
#include "lsoda/record.h"

namespace lsoda {

void DEWSET(int* n, int* itol, double* rtol, double* atol, double* ycur, double* ewt) {
  const int nn = *n;
  switch (*itol) {
    case 1:
      for (int i = 0; i < nn; ++i) ewt[i] = rtol[0] * std::fabs(ycur[i]) + atol[0];
      break;
    case 2:
      for (int i = 0; i < nn; ++i) ewt[i] = rtol[0] * std::fabs(ycur[i]) + atol[i];
      break;
    case 3:
      for (int i = 0; i < nn; ++i) ewt[i] = rtol[i] * std::fabs(ycur[i]) + atol[0];
      break;
    default:
      for (int i = 0; i < nn; ++i) ewt[i] = rtol[i] * std::fabs(ycur[i]) + atol[i];
      break;
  }
}

namespace {

// DEWSET, invert_error_weights and DMNORM(YCUR, EWT) in one pass, for a
// scalar (false) or vector (true) RTOL and ATOL: each weight and norm term
// is computed by the same operations as by the three in turn. Elements go
// in pairs (pairs.h) while both weights are positive, then one by one.
template <bool kRtolVector, bool kAtolVector>
int weights_and_norm(int n, const double* rtol, const double* atol, const double* ycur,
                     double* ewt, double* ynorm) {
  const double rtol0 = rtol[0], atol0 = atol[0];
  auto weight = [&](int i) {
    return (kRtolVector ? rtol[i] : rtol0) * std::fabs(ycur[i]) + (kAtolVector ? atol[i] : atol0);
  };
  double vm = 0.0;
  int i = 0;
  for (; i + 1 < n; i += 2) {
    const Pair ay = {std::fabs(ycur[i]), std::fabs(ycur[i + 1])};
    const Pair r = kRtolVector ? load_pair(rtol + i) : Pair{rtol0, rtol0};
    const Pair a = kAtolVector ? load_pair(atol + i) : Pair{atol0, atol0};
    const Pair w = r * ay + a;
    if (!(w[0] > 0.0 && w[1] > 0.0)) break;
    store_pair(ewt + i, 1.0 / w);
    fold_norm(vm, ay, ewt, i);
  }
  for (; i < n; ++i) {
    const double w = weight(i);
    if (w <= 0.0) {
      // Left as DEWSET leaves them, from the bad one on.
      for (int j = i; j < n; ++j) ewt[j] = weight(j);
      return i + 1;
    }
    const double inverse = 1.0 / w;
    ewt[i] = inverse;
    const double x = std::fabs(ycur[i]) * inverse;
    vm = vm < x ? x : vm;
  }
  *ynorm = vm;
  return 0;
}

}  // namespace

int step_error_weights(int n, int itol, const double* rtol, const double* atol,
                       const double* ycur, double* ewt, double* ynorm) {
  switch (itol) {
    case 1:
      return weights_and_norm<false, false>(n, rtol, atol, ycur, ewt, ynorm);
    case 2:
      return weights_and_norm<false, true>(n, rtol, atol, ycur, ewt, ynorm);
    case 3:
      return weights_and_norm<true, false>(n, rtol, atol, ycur, ewt, ynorm);
    default:
      return weights_and_norm<true, true>(n, rtol, atol, ycur, ewt, ynorm);
  }
}

}  // namespace lsoda
