// The error weights of the local error test: EWT(i) = RTOL(i)*|y(i)| +
// ATOL(i), with scalar or vector RTOL and ATOL as ITOL says (DEWSET). Their
// inversion (invert_error_weights, inline in record.h) makes the weighted
// max-norm DMNORM of a vector <= 1 when every component is within its
// tolerance. Relies on nothing else.
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

}  // namespace lsoda
