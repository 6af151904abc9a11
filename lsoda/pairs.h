// Two doubles operated on together, for the integrator's sweeps over short
// vectors: the compiler's packed instructions where the machine has them
// (SSE2 on x86-64), two scalar ones elsewhere. Each lane is the IEEE
// operation on that lane's operands (no contraction: -ffp-contract=off), so
// a pair gives the bits of its two elements done one after the other.
// Relies on the GNU vector extension (GCC, Clang).
#ifndef LSODA_PAIRS_H
#define LSODA_PAIRS_H

#include <cmath>
#include <cstring>
#include <type_traits>

namespace lsoda {

typedef double Pair __attribute__((vector_size(16)));
typedef long long PairBits __attribute__((vector_size(16)));

// |v| lane by lane: the sign bits cleared, as fabs does.
inline Pair abs_pair(Pair v) {
  constexpr long long kMagnitude = 0x7fffffffffffffffLL;
  return reinterpret_cast<Pair>(reinterpret_cast<PairBits>(v) & PairBits{kMagnitude, kMagnitude});
}

inline Pair load_pair(const double* p) {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store_pair(double* p, Pair v) { std::memcpy(p, &v, sizeof v); }

// Element i (T = double) or elements i and i+1 (T = Pair) of v.
template <class T>
inline T load_at(const double* v, int i) {
  if constexpr (std::is_same_v<T, Pair>) {
    return load_pair(v + i);
  } else {
    return v[i];
  }
}
template <class T>
inline void store_at(double* v, int i, T x) {
  if constexpr (std::is_same_v<T, Pair>) {
    store_pair(v + i, x);
  } else {
    v[i] = x;
  }
}

// The terms |v(i)|*w(i) of the weighted max-norm (DMNORM) of the element(s)
// at i folded into vm, in the order of the elements.
inline void fold_norm(double& vm, double v, const double* w, int i) {
  const double x = std::fabs(v) * w[i];
  vm = vm < x ? x : vm;
}
inline void fold_norm(double& vm, Pair v, const double* w, int i) {
  const Pair x = abs_pair(v) * load_pair(w + i);
  vm = vm < x[0] ? x[0] : vm;
  vm = vm < x[1] ? x[1] : vm;
}

// body(i, Pair) for i = 0, 2, ... while i + 1 < n, then body(n-1, double)
// when n is odd: every element once, in order.
template <class Body>
inline void for_pairs(int n, Body&& body) {
  int i = 0;
  for (; i + 1 < n; i += 2) body(i, Pair{});
  if (i < n) body(i, double{});
}

}  // namespace lsoda

#endif  // LSODA_PAIRS_H
