// The pulse's shape in time, as the whole-beam model uses it: intensity
// relative to the peak at s pulse durations from the peak, the duration
// being the intensity FWHM; the pulse's integral over time, which makes the
// pulse carry exactly its energy; the window the integration runs over.
// Relies only on the C++ standard library.
#ifndef ZSCAN_WHOLE_BEAM_PULSE_H
#define ZSCAN_WHOLE_BEAM_PULSE_H

#include "zscan/zscan.h"

namespace zscan {

struct Pulse {
  PulseShape shape = PulseShape::gaussian;
  // int p(s) ds over all s (pulse durations): sqrt(pi / (4 ln 2)) for the
  // Gaussian exp(-4 ln2 s^2), 2 / a for sech^2(a s), a = 2 acosh(sqrt 2).
  double integral = 0.0;
  // The integration runs over [-half_window, half_window]; the fluence
  // outside is 4.5e-21 of the pulse's (Gaussian, 4 durations) or
  // 2 exp(-2 a 11) = 2.9e-17 (sech^2, 11 durations).
  double half_window = 0.0;
};

Pulse pulse_of(PulseShape shape);

// Intensity relative to the peak, s pulse durations from it.
double pulse_value(const Pulse& pulse, double s);

// int_s^inf p(t) dt, pulse durations.
double pulse_tail(const Pulse& pulse, double s);

// The earliest s >= 0 (at most half_window) after which the pulse carries
// at most `share` of its integral.
double pulse_end(const Pulse& pulse, double share);

}  // namespace zscan

#endif  // ZSCAN_WHOLE_BEAM_PULSE_H
