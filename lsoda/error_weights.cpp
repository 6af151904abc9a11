// The error weights of the local error test: EWT(i) = RTOL(i)*|y(i)| +
// ATOL(i), with scalar or vector RTOL and ATOL as ITOL says (DEWSET), and
// their inversion, so that the weighted max-norm DMNORM of a vector is <= 1
// when every component is within its tolerance. Relies on nothing else.
#include <cmath>

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

int invert_error_weights(int n, double* ewt) {
  for (int i = 1; i <= n; ++i) {
    if (ewt[i - 1] <= 0.0) return i;
    ewt[i - 1] = 1.0 / ewt[i - 1];
  }
  return 0;
}

}  // namespace lsoda
