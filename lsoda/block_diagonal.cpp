// The block-diagonal iteration matrix of DLSODA_BLOCKS, P = I - h*l0*J with
// J made of square blocks and 1-by-1 entries on the diagonal (the layout in
// the record): J from the user's blocks or from difference quotients, its
// weighted norm for the method-switching test, and P factored and solved
// block by block with the dense LU of DGEFA/DGESL. The arithmetic on each
// block is that of the band routines on the same matrix. Relies on the
// record (layout, H, EL0, TN, UROUND, MITER, counters) and on linpack.cpp.
#include <algorithm>
#include <cmath>

#include "lsoda/record.h"
#include "lsoda/step.h"

namespace lsoda {
namespace {

// Unknowns and matrix entries of one group.
inline int group_length(const Record& s) { return s.blocks * s.block_size + s.singles; }
inline int group_entries(const Record& s) {
  return s.blocks * s.block_size * s.block_size + s.singles;
}
// Groups whose blocks are stored: all, or the first when they share them.
inline int stored_groups(const Record& s) { return s.shared ? 1 : s.groups; }

// J by difference quotients: the columns at place `o` of every block (the
// singles with place 0) are perturbed together, one call of f per place;
// each column's quotient fills its own block's rows. Increments and
// quotients are those of the band matrix's difference quotients.
void block_quotients(Record& s, const StepArgs& a, double hl0, double* pd) {
  const int n = s.n, b = s.block_size, nb = s.blocks, ns = s.singles;
  const int glen = group_length(s), gent = group_entries(s), ngroups = stored_groups(s);
  double* const y = a.y;
  double* const ftem = a.acor;  // scratch
  const double srur = a.wm[0];
  const double fac0 = DMNORM(&s.n, a.savf, a.ewt);
  double r0 = 1000.0 * std::fabs(s.h) * s.uround * n * fac0;
  if (r0 == 0.0) r0 = 1.0;
  const int places = nb > 0 ? b : 1;
  auto perturb = [&](int j) {
    const double yj = y[j];
    const double r = std::max(srur * std::fabs(yj), r0 / a.ewt[j]);
    y[j] = y[j] + r;
  };
  for (int o = 0; o < places; ++o) {
    for (int g = 0; g < ngroups; ++g) {
      const int first = g * glen;
      for (int k = 0; k < nb; ++k) perturb(first + k * b + o);
      if (o == 0)
        for (int k = 0; k < ns; ++k) perturb(first + nb * b + k);
    }
    double tn = s.tn;
    a.f(a.neq, &tn, y, ftem);
    for (int g = 0; g < ngroups; ++g) {
      const int first = g * glen;
      double* const gpd = pd + static_cast<long>(g) * gent;
      for (int k = 0; k < nb; ++k) {
        const int j = first + k * b + o;
        y[j] = a.yh[j];  // YH column 1 holds the unperturbed y
        const double r = std::max(srur * std::fabs(y[j]), r0 / a.ewt[j]);
        const double fac = -hl0 / r;
        double* const col = gpd + k * b * b + o * b;
        const int row0 = first + k * b;
        for (int i = 0; i < b; ++i) col[i] = (ftem[row0 + i] - a.savf[row0 + i]) * fac;
      }
      if (o != 0) continue;
      for (int k = 0; k < ns; ++k) {
        const int j = first + nb * b + k;
        y[j] = a.yh[j];
        const double r = std::max(srur * std::fabs(y[j]), r0 / a.ewt[j]);
        const double fac = -hl0 / r;
        gpd[nb * b * b + k] = (ftem[j] - a.savf[j]) * fac;
      }
    }
  }
  s.nfe = s.nfe + places;
}

}  // namespace

double block_matrix_norm(const Record& s, const double* a, const double* w) {
  const int b = s.block_size, nb = s.blocks, ns = s.singles;
  const int glen = group_length(s), gent = group_entries(s);
  double an = 0.0;
  for (int g = 0; g < s.groups; ++g) {
    const double* const ga = a + (s.shared ? 0L : static_cast<long>(g) * gent);
    const double* const gw = w + g * glen;
    for (int k = 0; k < nb; ++k) {
      const double* const block = ga + k * b * b;
      const double* const bw = gw + k * b;
      for (int i = 0; i < b; ++i) {
        double sum = 0.0;
        for (int j = 0; j < b; ++j) sum = sum + std::fabs(block[i + j * b]) / bw[j];
        an = std::max(an, sum * bw[i]);
      }
    }
    for (int k = 0; k < ns; ++k) {
      const int i = nb * b + k;
      const double sum = 0.0 + std::fabs(ga[nb * b * b + k]) / gw[i];
      an = std::max(an, sum * gw[i]);
    }
  }
  return an;
}

void build_block_matrix(const StepArgs& a) {
  Record& s = *a.rec;
  s.nje = s.nje + 1;
  s.ierpj = 0;
  s.jcur = 1;
  const int b = s.block_size, nb = s.blocks, ns = s.singles;
  const int gent = group_entries(s), ngroups = stored_groups(s);
  const int lenp = ngroups * gent;
  const double hl0 = s.h * s.el0;
  double* const pd = a.wm + 2;
  if (s.miter == kMiterBlockJac) {
    for (int i = 0; i < lenp; ++i) pd[i] = 0.0;
    double tn = s.tn;
    a.bjac(a.neq, &tn, a.y, pd);
    const double con = -hl0;
    for (int i = 0; i < lenp; ++i) pd[i] = pd[i] * con;
  } else {
    block_quotients(s, a, hl0, pd);
  }
  s.pdnorm = block_matrix_norm(s, pd, a.ewt) / std::fabs(hl0);
  // P = I - h*l0*J, factored block by block; the pivots of a block are
  // 1-based within it.
  int* ipvt = a.iwm + 20;
  for (int g = 0; g < ngroups; ++g) {
    double* block = pd + static_cast<long>(g) * gent;
    for (int k = 0; k < nb; ++k, block += b * b, ipvt += b) {
      for (int i = 0; i < b; ++i) block[i * (b + 1)] = block[i * (b + 1)] + 1.0;
      if (factor_lu(block, b, ipvt) != 0) s.ierpj = 1;
    }
    for (int k = 0; k < ns; ++k, ++block, ++ipvt) {
      block[0] = block[0] + 1.0;
      *ipvt = 1;
      if (block[0] == 0.0) s.ierpj = 1;
    }
  }
}

void solve_block_matrix(const StepArgs& a, double* x) {
  Record& s = *a.rec;
  s.iersl = 0;
  const int b = s.block_size, nb = s.blocks, ns = s.singles;
  const int gent = group_entries(s);
  for (int g = 0; g < s.groups; ++g) {
    const long stored = s.shared ? 0 : g;
    double* block = a.wm + 2 + stored * gent;
    int* ipvt = a.iwm + 20 + stored * group_length(s);
    for (int k = 0; k < nb; ++k, block += b * b, ipvt += b, x += b)
      solve_lu(block, b, ipvt, x);
    for (int k = 0; k < ns; ++k, ++block, ++x) x[0] = x[0] / block[0];
  }
}

}  // namespace lsoda
