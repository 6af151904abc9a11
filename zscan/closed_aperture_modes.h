// The closed-aperture signal of one scan point from the exit field, by the
// beam's Laguerre-Gauss modes. With v = 2 r^2 / w(z)^2 the exit field
// relative to the incident one is g(v, s); its modes c_p(s) = int g L_p e^-v
// dv (Gauss-Laguerre in v, of the field's nonlinear change g - 1 so that the
// linear part is exact). In the incident beam's own scaled coordinates the
// wavefront's curvature cancels, and mode p reaches the aperture's plane
// with the extra Gouy phase e^{-2 i p dpsi}, dpsi = atan(d / z0) - atan(z /
// z0) (pi / 2 - atan(z / z0) in the far field); the aperture takes P(s) =
// sum_pq c~_p conj(c~_q) M_pq, M the modes' overlaps over it (identity when
// open: P is then int |g|^2 e^-v dv). T = sum_s W_s P(s) / (M_00 sum_s W_s)
// over the pulse's time rule. The modes' count climbs until two counts
// agree; the time rule's error is its difference with a coarser rule. Relies
// on the quadratures.
#ifndef ZSCAN_CLOSED_APERTURE_MODES_H
#define ZSCAN_CLOSED_APERTURE_MODES_H

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "zscan/closed_aperture_local.h"
#include "zscan/closed_aperture_quadrature.h"

namespace zscan {

// The exit field at peak intensity I (W/cm^2) at every time node into out.
using FieldSource = std::function<void(double intensity, FieldValue* out)>;

// The time nodes of an evaluation: the union of a coarse and a fine rule.
struct TimeNodes {
  std::vector<double> times;                 // increasing, pulse durations
  std::vector<double> coarse, fine;          // [times] each rule's weight (0: not its node)
};
TimeNodes time_nodes(const TimeRule& coarse, const TimeRule& fine);

// One point's value and the errors of its discretisations.
struct PointSignal {
  double value = 0.0;       // the fine time rule, the most modes
  double mode_error = 0.0;  // |difference| of the last two mode counts
  double time_error = 0.0;  // |fine - coarse time rule|
  int modes = 0;            // Laguerre nodes (and modes) of the value
};

// The mode counts tried in turn, and the largest.
constexpr int kModeCounts[] = {16, 24, 32, 48, 64, 96, 128, 192, 256, 320};
constexpr int kModeLevels = 10;

class ApertureSignal {
 public:
  ApertureSignal(const TimeNodes& nodes, FieldSource source);
  // The point at peak intensity `intensity`, Gouy difference `gouy` (rad)
  // and aperture share `share`; the modes climb until two counts differ by
  // at most `budget`.
  PointSignal point(double intensity, double gouy, double share, double budget);

 private:
  struct Level {
    LaguerreRule rule;
    std::map<double, std::vector<double>> overlaps;  // by share
  };
  Level& level(int i);
  const std::vector<double>& overlaps(Level& l, double share);
  // T by both time rules at mode level i.
  void evaluate(int i, double intensity, double gouy, double share, double* coarse, double* fine);

  const TimeNodes& nodes_;
  FieldSource source_;
  std::unique_ptr<Level> levels_[kModeLevels];
  std::vector<FieldValue> fields_;  // [Laguerre node * times]
  std::vector<double> power_, re_, im_, phase_re_, phase_im_;
};

}  // namespace zscan

#endif  // ZSCAN_CLOSED_APERTURE_MODES_H
