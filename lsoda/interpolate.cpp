// DINTDY: the K-th derivative of the interpolating polynomial held in the
// Nordsieck history array, at any t within the last step (widened by a
// round-off margin). Relies on TN, H, HU, NQ, L, N and UROUND of the record.
#include <cmath>

#include "lsoda/messages.h"
#include "lsoda/record.h"

namespace lsoda {

void DINTDY(double* T, int* K, double* YH, int* NYH, double* DKY, int* IFLAG) {
  const Record& s = record();
  const int nyh = *NYH;
  const int k = *K;
  *IFLAG = 0;
  if (k < 0 || k > s.nq) {
    message(msg::kIntdyK, msg::kIntdyWidth, 0, 1, k, 0, 0, 0.0, 0.0);
    *IFLAG = -1;
    return;
  }
  // The last step [TN - HU, TN], widened at both ends by TFUZZ.
  double tfuzz = 100.0 * s.uround * (std::fabs(s.tn) + std::fabs(s.hu));
  if (s.hu < 0.0) tfuzz = -tfuzz;
  const double tp = s.tn - s.hu - tfuzz;
  const double tn1 = s.tn + tfuzz;
  const double t = *T;
  if ((t - tp) * (t - tn1) > 0.0) {
    MessageBlock block;
    message(msg::kIntdyT, msg::kIntdyWidth, 0, 0, 0, 0, 1, t, 0.0);
    message(msg::kIntdyInterval, msg::kIntdyWidth, 0, 0, 0, 0, 2, tp, s.tn);
    *IFLAG = -2;
    return;
  }

  // Horner's rule over the columns, from column L down to column K+1; column
  // j carries the falling factorial (j-1)(j-2)...(j-K).
  const double sfac = (t - s.tn) / s.h;
  const int l = s.l, nq = s.nq, n = s.n;
  int ic = 1;
  for (int jj = l - k; jj <= nq; ++jj) ic *= jj;
  double c = ic;
  const double* col = YH + static_cast<long>(l - 1) * nyh;
  for (int i = 0; i < n; ++i) DKY[i] = c * col[i];
  for (int j = nq - 1; j >= k; --j) {
    const int jp1 = j + 1;
    ic = 1;
    for (int jj = jp1 - k; jj <= j; ++jj) ic *= jj;
    c = ic;
    col = YH + static_cast<long>(jp1 - 1) * nyh;
    for (int i = 0; i < n; ++i) DKY[i] = c * col[i] + sfac * DKY[i];
  }
  if (k == 0) return;
  const double r = std::pow(s.h, -k);
  for (int i = 0; i < n; ++i) DKY[i] = r * DKY[i];
}

}  // namespace lsoda
