// Pulse shapes of the whole-beam model; see whole_beam_pulse.h. The sech^2
// pulse is written with exp(-2 a |s|) so that its tails neither overflow nor
// lose accuracy. Relies only on the C++ standard library.
#include "zscan/whole_beam_pulse.h"

#include <cmath>

namespace zscan {

namespace {

constexpr double kGaussRate = 2.772588722239781;         // 4 ln 2
constexpr double kGaussIntegral = 1.0644670194312262;    // sqrt(pi / (4 ln 2))
constexpr double kSech2Rate = 1.7627471740390860;        // 2 acosh(sqrt 2)
constexpr double kSech2Integral = 2.0 / kSech2Rate;

}  // namespace

Pulse pulse_of(PulseShape shape) {
  Pulse p;
  p.shape = shape;
  if (shape == PulseShape::sech2) {
    p.integral = kSech2Integral;
    p.half_window = 11.0;
  } else {
    p.integral = kGaussIntegral;
    p.half_window = 4.0;
  }
  return p;
}

double pulse_value(const Pulse& pulse, double s) {
  if (pulse.shape == PulseShape::sech2) {
    // sech^2(a s) = 4 e / (1 + e)^2 with e = exp(-2 a |s|).
    const double e = std::exp(-2.0 * kSech2Rate * std::fabs(s));
    return 4.0 * e / ((1.0 + e) * (1.0 + e));
  }
  return std::exp(-(kGaussRate * s) * s);
}

double pulse_tail(const Pulse& pulse, double s) {
  if (pulse.shape == PulseShape::sech2) {
    // (1 - tanh(a s)) / a = 2 e / (a (1 + e)), e = exp(-2 a s); the leading
    // half by symmetry.
    if (s < 0.0) return pulse.integral - pulse_tail(pulse, -s);
    const double e = std::exp(-2.0 * kSech2Rate * s);
    return 2.0 * e / (kSech2Rate * (1.0 + e));
  }
  return 0.5 * kGaussIntegral * std::erfc(std::sqrt(kGaussRate) * s);
}

double pulse_end(const Pulse& pulse, double share) {
  const double limit = share * pulse.integral;
  if (!(pulse_tail(pulse, pulse.half_window) < limit)) return pulse.half_window;
  double low = 0.0, high = pulse.half_window;
  if (pulse_tail(pulse, low) <= limit) return low;
  for (int k = 0; k < 60; ++k) {
    const double middle = 0.5 * (low + high);
    if (pulse_tail(pulse, middle) <= limit)
      high = middle;
    else
      low = middle;
  }
  return high;
}

}  // namespace zscan
