// The beam-propagation model's public entry; see zscan.h. Checks the
// inputs, makes the absorber and the sample's response, and evaluates every
// scan point on its own grids: time panels P, depth steps D and a radial
// level r. From the values at (P, D), (P, 2D), (P, 4D) the depth march's
// Richardson values R(D, 2D) and R(2D, 4D) (its error is even in the step);
// the value is R(2D, 4D) plus the changes one more time level (2P) and one
// more radial level make at (P, D). The error estimate: the larger of |R(2D,
// 4D) - R(D, 2D)| and kRawShare of the last raw depth change, kTimeKept of
// the time change (Radau, order 5), the radial change whole (it converges
// exponentially) and the aperture's mode error. A point whose estimate
// exceeds the tolerance refines the dimensions whose parts exceed
// kPartShare of it and tries again, reusing the grids it has. Open
// aperture: T is the exit energy over the linear one, both by the same grid
// and time rule (the transform conserves energy, so a linear sample gives 1
// to rounding); closed: the exit field relative to the linear exit beam is
// handed to the closed-aperture model's Laguerre-Gauss modes, with the Gouy
// phases of the beam that seems to come from z + L / n0. Points run on the
// model's worker threads, each wholly on one thread: the results do not
// depend on the thread count. Relies on the frame, the grid, the rates, the
// depth march, the aperture entries' rules, the whole-beam absorber and
// inputs and the closed-aperture modes.
#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "zscan/aperture_scans.h"
#include "zscan/beam_propagation_frame.h"
#include "zscan/beam_propagation_grid.h"
#include "zscan/beam_propagation_rates.h"
#include "zscan/beam_propagation_step.h"
#include "zscan/closed_aperture_modes.h"
#include "zscan/model_workers.h"
#include "zscan/whole_beam_absorber.h"
#include "zscan/whole_beam_inputs.h"
#include "zscan/zscan.h"

namespace zscan {

namespace {

constexpr double kPi = 3.14159265358979323846;
// No error is reported below this share of the tolerance.
constexpr double kErrorFloor = 1e-3;
// The share of a change of the time panels the finer panels are taken to
// keep: Radau panels of order 5, 4 counted, with a safety factor 2.
constexpr double kTimeKept = 2.0 / 15.0;
// The depth march's error is even in h: its values at D, 2D and 4D steps
// give two Richardson values, the finer's error bounded by their
// difference once the march is in its asymptotic range and, before (where
// two values may agree by chance), by this share of the last raw change.
constexpr double kRawShare = 0.1;
// The share of the tolerance each part may take before its grid is refined,
// and the modes' budget.
constexpr double kPartShare = 0.3;
constexpr double kModeShare = 0.1;
// The share of the tolerance that light too weak to move the populations
// may cost.
constexpr double kRestShare = 1e-3;
// The coarsest grids: panels per pulse duration of the window, depth steps.
constexpr double kPanelsPerDuration = 2.0;
constexpr int kFirstDepthSteps = 2;
// Below this share of its Rayleigh range of U-space propagation across the
// sample the coarsest march takes one step.
constexpr double kSteadyBeam = 0.1;
// The radial grid at level r: extent, reach and band raised by these steps.
constexpr double kExtent = 5.0, kExtentStep = 1.5;
constexpr double kReach = 6.0, kReachStep = 2.0;
constexpr double kBand = 11.0, kBandStep = 3.0;
// The most levels of refinement per dimension (beyond them the estimate
// stands as it is and the point counts as unconverged).
constexpr int kMostTimeLevels = 5;
constexpr int kMostDepthLevels = 7;
constexpr int kMostRadialLevels = 4;

std::size_t at(int i) { return static_cast<std::size_t>(i); }

// One point of one scan.
struct PointJob {
  double position_mm = 0.0;
  double energy = 0.0;
  double share = 1.0;  // the aperture's S
};

// A grid's levels.
struct Levels {
  int time = 0, depth = 0, radial = 0;
  bool operator<(const Levels& o) const {
    if (time != o.time) return time < o.time;
    if (depth != o.depth) return depth < o.depth;
    return radial < o.radial;
  }
};

// One point's value on one grid.
struct GridValue {
  double value = 0.0;
  double mode_error = 0.0;
  int modes = 0;
};

// What one point did.
struct PointOutcome {
  double value = 0.0, error = 0.0;
  long long grids = 0, solves = 0;
  int radial_nodes = 0, depth_steps = 0, time_panels = 0, refinements = 0, modes = 0;
  bool converged = true;
};

// The transforms of every node count used, shared by the points of one call.
class TransformCache {
 public:
  const HankelTransform& get(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = transforms_.find(n);
    if (found != transforms_.end()) return *found->second;
    auto made = std::make_unique<HankelTransform>(hankel_transform(n));
    return *transforms_.emplace(n, std::move(made)).first->second;
  }

 private:
  std::mutex mutex_;
  std::map<int, std::unique_ptr<HankelTransform>> transforms_;
};

// Everything the points of one call share.
struct Shared {
  const WholeBeamExperiment& e;
  const BeamPropagationRequest& r;
  SampleResponse response;
  Pulse pulse;
  double window = 0.0;       // the time panels cover [-window, window], pulse durations
  double attenuation = 0.0;  // alpha0, cm^-1
  double rayleigh_cm = 0.0;  // z0 in air
  double far = 0.0;          // the aperture's Gouy angle (pi / 2 in the far field)
  bool linear = false;       // nothing in the sample depends on the light
  TransformCache transforms;
};

class PointEvaluator {
 public:
  PointEvaluator(Shared& shared, const PointJob& job) : s_(shared), job_(job) {
    FrameInputs in;
    in.wavelength = s_.e.wavelength;
    in.w0 = s_.e.w0;
    in.M2 = s_.e.M2;
    in.length = s_.e.sample_width;
    in.refractive_index = s_.r.refractive_index;
    in.position_mm = job.position_mm;
    frame_ = sample_frame(in);
    peak_ = whole_beam_peak_intensity(s_.e, job.energy, job.position_mm);
    // A beam that hardly changes across the sample starts from one step.
    first_steps_ = frame_.zeta_end < kSteadyBeam * frame_.rayleigh ? 1 : kFirstDepthSteps;
  }

  PointEvaluator(const PointEvaluator&) = delete;
  PointEvaluator& operator=(const PointEvaluator&) = delete;

  GridValue value(const Levels& l, PointOutcome& out) {
    auto found = cache_.find(l);
    if (found != cache_.end()) return found->second;
    const GridValue v = compute(l, out);
    cache_.emplace(l, v);
    return v;
  }

 private:
  GridValue compute(const Levels& l, PointOutcome& out) {
    const int panels = static_cast<int>(std::ceil(2.0 * s_.window * kPanelsPerDuration)) << l.time;
    const int steps = first_steps_ << l.depth;
    RadialResolution res;
    res.extent = kExtent + kExtentStep * l.radial;
    res.reach = kReach + kReachStep * l.radial;
    res.band = kBand + kBandStep * l.radial;
    const RadialPlan plan = radial_plan(frame_, res);
    const HankelTransform& transform = s_.transforms.get(plan.nodes);
    const RadialGrid grid = radial_grid(transform, plan.radius);
    const TimePanels times = time_panels(s_.pulse, s_.window, panels);
    const int n = grid.size(), m = times.size();
    ++out.grids;
    out.radial_nodes = std::max(out.radial_nodes, n);
    out.depth_steps = std::max(out.depth_steps, steps);
    out.time_panels = std::max(out.time_panels, panels);

    const double amplitude = std::sqrt(peak_);
    std::vector<double> lin_re(at(n)), lin_im(at(n));
    for (int k = 0; k < n; ++k) {
      const std::complex<double> u = grid.root_weight[at(k)] * amplitude *
                                     frame_.linear_field(grid.r[at(k)], 0.0);
      lin_re[at(k)] = u.real();
      lin_im[at(k)] = u.imag();
    }
    re_.resize(at(n) * at(m));
    im_.resize(at(n) * at(m));
    for (int k = 0; k < n; ++k)
      for (int q = 0; q < m; ++q) {
        const double p = std::sqrt(times.pulse[at(q)]);
        re_[at(k) * at(m) + at(q)] = lin_re[at(k)] * p;
        im_[at(k) * at(m) + at(q)] = lin_im[at(k)] * p;
      }
    propagate_linear(frame_, grid, s_.attenuation, 1, lin_re.data(), lin_im.data());
    Propagation prop;
    prop.frame = &frame_;
    prop.grid = &grid;
    prop.response = &s_.response;
    prop.panels = &times;
    prop.attenuation = s_.attenuation;
    prop.depth_steps = steps;
    out.solves += propagate(prop, re_.data(), im_.data()).solves;

    GridValue v;
    if (!(job_.share < 1.0)) {
      double linear = 0.0, pulse_sum = 0.0, energy = 0.0;
      for (int k = 0; k < n; ++k) linear += lin_re[at(k)] * lin_re[at(k)] + lin_im[at(k)] * lin_im[at(k)];
      for (int q = 0; q < m; ++q) {
        double power = 0.0;
        for (int k = 0; k < n; ++k) {
          const std::size_t i = at(k) * at(m) + at(q);
          power += re_[i] * re_[i] + im_[i] * im_[i];
        }
        energy += times.weights[at(q)] * power;
        pulse_sum += times.weights[at(q)] * times.pulse[at(q)];
      }
      v.value = energy / (pulse_sum * linear);
      return v;
    }
    return closed(grid, times, l.time, v);
  }

  // The closed aperture's value from the exit field in re_, im_. One
  // ApertureSignal per time level keeps its Laguerre rules and overlaps for
  // every grid of that level; its source reads the current grid's field.
  GridValue closed(const RadialGrid& grid, const TimePanels& times, int time_level, GridValue v) {
    const int n = grid.size(), m = times.size();
    coef_re_.resize(at(n) * at(m));
    coef_im_.resize(at(n) * at(m));
    bessel_.resize(at(n));
    series_coefficients(grid, m, re_.data(), im_.data(), coef_re_.data(), coef_im_.data());
    grid_ = &grid;
    times_ = &times;
    Aperture& a = apertures_[time_level];
    if (!a.signal) {
      a.nodes.times = times.times;
      a.nodes.coarse.resize(at(m));
      for (int q = 0; q < m; ++q) a.nodes.coarse[at(q)] = times.weights[at(q)] * times.pulse[at(q)];
      a.nodes.fine = a.nodes.coarse;
      a.signal = std::make_unique<ApertureSignal>(
          a.nodes, [this](double light, FieldValue* out) { exit_field_at(light, out); });
    }
    const double gouy = s_.far - std::atan(frame_.exit_position / s_.rayleigh_cm);
    const PointSignal p = a.signal->point(1.0, gouy, job_.share, kModeShare * s_.r.tolerance);
    v.value = p.value;
    v.mode_error = p.mode_error;
    v.modes = p.modes;
    return v;
  }

  // The current exit field relative to the linear one at the Laguerre node
  // v = 2 r^2 / w_exit^2 (light = e^-v), at every time node; the linear
  // field beyond the grid (where the nonlinear change is below rounding).
  void exit_field_at(double light, FieldValue* out) {
    const RadialGrid& grid = *grid_;
    const int n = grid.size(), m = times_->size();
    const double rho = frame_.radius_at(frame_.zeta_end) * std::sqrt(-0.5 * std::log(light));
    if (!(rho < grid.radius)) {
      std::fill(out, out + m, FieldValue{});
      return;
    }
    for (int k = 0; k < n; ++k) bessel_[at(k)] = std::cyl_bessel_j(0.0, grid.kappa[at(k)] * rho);
    const double gain = std::sqrt(peak_) * std::exp(-0.5 * s_.attenuation * frame_.length);
    const std::complex<double> linear = gain * frame_.linear_field(rho, frame_.zeta_end);
    for (int q = 0; q < m; ++q) {
      double ur = 0.0, ui = 0.0;
      for (int k = 0; k < n; ++k) {
        ur += bessel_[at(k)] * coef_re_[at(k) * at(m) + at(q)];
        ui += bessel_[at(k)] * coef_im_[at(k) * at(m) + at(q)];
      }
      const double p = std::sqrt(times_->pulse[at(q)]);
      if (!(p > 0.0)) {
        out[q] = FieldValue{};
        continue;
      }
      const std::complex<double> g = std::complex<double>(ur, ui) / (linear * p);
      out[q].amplitude = std::abs(g);
      out[q].phase = std::arg(g);
    }
  }

  // The closed aperture's modes at one time level.
  struct Aperture {
    TimeNodes nodes;
    std::unique_ptr<ApertureSignal> signal;
  };

  Shared& s_;
  PointJob job_;
  SampleFrame frame_;
  double peak_ = 0.0;
  int first_steps_ = kFirstDepthSteps;  // depth steps at depth level 0
  std::map<Levels, GridValue> cache_;
  std::vector<double> re_, im_, coef_re_, coef_im_, bessel_;
  const RadialGrid* grid_ = nullptr;  // the grid and time nodes of the current exit field
  const TimePanels* times_ = nullptr;
  std::map<int, Aperture> apertures_;  // by time level
};

PointOutcome evaluate_point(Shared& s, const PointJob& job) {
  PointOutcome out;
  const double tolerance = s.r.tolerance;
  if (s.linear || job.energy == 0.0 || s.e.sample_width == 0.0) {
    out.value = 1.0;
    out.error = kErrorFloor * tolerance;
    return out;
  }
  PointEvaluator point(s, job);
  Levels l;
  for (;;) {
    const GridValue d1 = point.value(l, out);
    const GridValue d2 = point.value({l.time, l.depth + 1, l.radial}, out);
    const GridValue d3 = point.value({l.time, l.depth + 2, l.radial}, out);
    const GridValue t = point.value({l.time + 1, l.depth, l.radial}, out);
    const GridValue r = point.value({l.time, l.depth, l.radial + 1}, out);
    // Richardson in the depth steps (the march's error is even in h).
    const double coarse = d2.value + (d2.value - d1.value) / 3.0;
    const double fine = d3.value + (d3.value - d2.value) / 3.0;
    const double depth_part = std::max(std::fabs(fine - coarse), kRawShare * std::fabs(d3.value - d2.value));
    const double time_part = kTimeKept * std::fabs(t.value - d1.value);
    const double radial_part = std::fabs(r.value - d1.value);
    double modes = 0.0;
    for (const GridValue* g : {&d1, &d2, &d3, &t, &r}) {
      modes = std::max(modes, g->mode_error);
      out.modes = std::max(out.modes, g->modes);
    }
    out.value = ((fine + (t.value - d1.value)) + (r.value - d1.value));
    out.error = ((time_part + depth_part) + radial_part) + modes;
    if (!std::isfinite(out.value)) {
      out.error = std::numeric_limits<double>::infinity();
      out.converged = false;
      return out;
    }
    if (out.error <= tolerance) break;
    const double share = kPartShare * tolerance;
    bool refined = false;
    if (time_part > share && l.time + 1 < kMostTimeLevels) ++l.time, refined = true;
    if (depth_part > share && l.depth + 2 < kMostDepthLevels) ++l.depth, refined = true;
    if (radial_part > share && l.radial + 1 < kMostRadialLevels) ++l.radial, refined = true;
    if (!refined) {
      out.converged = false;
      break;
    }
    ++out.refinements;
  }
  out.error = std::max(out.error, kErrorFloor * tolerance);
  return out;
}

double total_population(const WholeBeamExperiment& e) {
  double total = 0.0;
  for (int l = 0; l < kLevels; ++l) total += e.populations[l];
  return total;
}

Status evaluate(const WholeBeamExperiment& e, const double* spec_pars,
                const ClosedApertureOptics& optics, const BeamPropagationRequest& r,
                const BeamPropagationOutput& out, BeamPropagationStats& stats) {
  const bool excites = spec_pars[0] > 0.0 || spec_pars[1] > 0.0 || spec_pars[2] > 0.0 ||
                       optics.beta > 0.0;
  const AbsorberOutcome full = make_populated_absorber(e, spec_pars);
  if (!full.transparent && full.roles.empty_drained >= 0) {
    stats.drained_level = full.roles.empty_drained;
    stats.drain_lifetimes = full.roles.lifetimes;
    return Status::not_stationary;
  }
  const bool populated = !full.transparent && excites;
  const double optical_depth = full.transparent ? 0.0 : full.absorber.linear_depth;
  stats.optical_depth = optical_depth;
  if (!(optical_depth <= kWholeBeamMaxOpticalDepth)) return Status::too_thick;

  Shared s{e, r, SampleResponse{}, pulse_of(e.pulse_shape), 0.0, 0.0, 0.0, 0.0, false, {}};
  // Light beyond the window carries less than kRestShare of the tolerance.
  s.window = pulse_end(s.pulse, kRestShare * r.tolerance);
  const double length = e.sample_width;
  const double k = vacuum_wavenumber_cm(e);  // cm^-1
  s.attenuation = length > 0.0 ? optical_depth / length : 0.0;
  s.response.two_photon = optics.beta;
  s.response.kerr = k * optics.n2;
  if (populated) {
    const Absorber& a = full.absorber;
    const double total = total_population(e);
    s.response.absorber = &full.absorber;
    double change[4];
    absorption_change(a, change);
    for (int l = 0; l < 4; ++l) s.response.absorption[l] = change[l] / length;
    s.response.refraction[0] = optics.sigma_r1 * total;
    s.response.refraction[1] = optics.sigma_r3 * total;
    s.response.excitation = two_photon_excitation(e, optics.beta, total);
    s.response.ground = a.n_init[0];
    // A node lit at x of the brightest changes the signal by about x^(3/2)
    // of its nonlinear change (its own absorption x^2, the interference of
    // what it scatters with the bright field x^(3/2)); light before and
    // after the pulse at x of the node's peak shifts its populations by
    // about x of their change: both kept below kRestShare of the tolerance.
    s.response.dark = std::pow(kRestShare * r.tolerance, 2.0 / 3.0);
    s.response.quiet = kRestShare * r.tolerance;
  }
  s.linear = !populated && optics.beta == 0.0 && optics.n2 == 0.0;
  s.rayleigh_cm = kPi * e.w0 * e.w0 / (e.M2 * e.wavelength) * 1e2;
  // Behind the sample the linear beam seems to come from a focus moved by L
  // (1 - 1 / n0) towards the aperture: its Gouy angle there is that of the
  // distance d - L (1 - 1 / n0).
  const double apparent = r.aperture_distance * 1e2 - length * (1.0 - 1.0 / r.refractive_index);
  s.far = std::isinf(r.aperture_distance) ? 0.5 * kPi : std::atan(apparent / s.rayleigh_cm);

  std::vector<PointJob> jobs;
  for (int sc = 0; sc < r.n_scans; ++sc) {
    const ClosedApertureScan& scan = r.scans[sc];
    for (int i = 0; i < scan.n_points; ++i)
      jobs.push_back({scan.positions_mm[i], scan.pulse_energy, scan.aperture});
  }
  const int n = static_cast<int>(jobs.size());
  std::vector<PointOutcome> outcomes(at(n));
  // Each point wholly on one thread: the values do not depend on the count.
  struct NoWork {};
  const Status status = run_tasks<NoWork>(
      n, [&](int i, NoWork&) { outcomes[at(i)] = evaluate_point(s, jobs[at(i)]); });
  if (status != Status::ok) return status;
  if (interrupt_requested()) return Status::interrupted;
  for (int i = 0; i < n; ++i) {
    const PointOutcome& o = outcomes[at(i)];
    out.values[i] = o.value;
    out.errors[i] = std::isfinite(o.value) ? o.error : std::numeric_limits<double>::infinity();
    stats.grids += o.grids;
    stats.panel_solves += o.solves;
    stats.largest_radial_nodes = std::max(stats.largest_radial_nodes, o.radial_nodes);
    stats.largest_depth_steps = std::max(stats.largest_depth_steps, o.depth_steps);
    stats.largest_time_panels = std::max(stats.largest_time_panels, o.time_panels);
    stats.largest_modes = std::max(stats.largest_modes, o.modes);
    stats.refinements += o.refinements;
    if (!o.converged) ++stats.unconverged_points;
  }
  return Status::ok;
}

}  // namespace

Status beam_propagation_transmittance(const WholeBeamExperiment& experiment,
                                      const double* spec_pars, const ClosedApertureOptics& optics,
                                      const BeamPropagationRequest& request,
                                      const BeamPropagationOutput& output) {
  BeamPropagationStats counts;
  ApertureInputs in = aperture_inputs(experiment, spec_pars, optics, request, output);
  in.depth_m = std::isfinite(experiment.sample_width) ? experiment.sample_width * 1e-2 : 0.0;
  const Status status = run_checked(in, output.values, output.errors, [&] {
    if (!(request.refractive_index > 0.0) || !std::isfinite(request.refractive_index))
      return Status::invalid_input;
    return evaluate(experiment, spec_pars, optics, request, output, counts);
  });
  if (output.stats != nullptr) *output.stats = counts;
  return status;
}

}  // namespace zscan
