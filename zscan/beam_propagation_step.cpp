// The depth march; see beam_propagation_step.h. The intensity at a node is
// |U|^2 / s^2 (U = u / sqrt(w), s the lens scale at the depth). Work arrays
// live in one thread_local record. Relies on the grid, the frame and the
// rates.
#include "zscan/beam_propagation_step.h"

#include <cmath>
#include <cstddef>
#include <vector>

namespace zscan {

namespace {

std::size_t at(int i) { return static_cast<std::size_t>(i); }

// Fixed-point corrections of a step's rate.
constexpr int kCorrections = 2;

struct StepWork {
  std::vector<double> scratch;          // the diffraction's
  std::vector<double> trial_re, trial_im;  // the field advanced to a step's middle
  std::vector<double> intensity;        // W/cm^2 at every node and time
  std::vector<double> c_re, c_im;       // the nonlinear rate
};

thread_local StepWork t_step;

// The intensities of the weighted fields at the depth of scale s.
void intensities(const RadialGrid& grid, double s, int m, const double* re, const double* im,
                 double* out) {
  for (int k = 0; k < grid.size(); ++k) {
    const double f = 1.0 / (grid.root_weight[at(k)] * grid.root_weight[at(k)] * (s * s));
    for (int q = 0; q < m; ++q) {
      const std::size_t i = at(k) * at(m) + at(q);
      out[i] = (re[i] * re[i] + im[i] * im[i]) * f;
    }
  }
}

// u <- u exp(h c) at every node and time (from src into dst).
void apply_rate(std::size_t size, double h, const double* c_re, const double* c_im,
                const double* src_re, const double* src_im, double* dst_re, double* dst_im) {
  for (std::size_t i = 0; i < size; ++i) {
    const double g = std::exp(h * c_re[i]);
    const double phase = h * c_im[i];
    const double c = g * std::cos(phase), s = g * std::sin(phase);
    const double x = src_re[i], y = src_im[i];
    dst_re[i] = c * x - s * y;
    dst_im[i] = s * x + c * y;
  }
}

}  // namespace

PropagationCounts propagate(const Propagation& p, double* re, double* im) {
  StepWork& w = t_step;
  PropagationCounts counts;
  const SampleFrame& f = *p.frame;
  const RadialGrid& grid = *p.grid;
  const int m = p.panels->size();
  const int n = grid.size();
  const std::size_t size = at(n) * at(m);
  w.trial_re.resize(size);
  w.trial_im.resize(size);
  w.intensity.resize(size);
  w.c_re.resize(size);
  w.c_im.resize(size);
  const double h = f.length / p.depth_steps;
  const double half_gain = std::exp(-0.25 * p.attenuation * h);
  const auto respond = [&](double depth, const double* fr, const double* fi) {
    intensities(grid, f.scale(depth), m, fr, fi, w.intensity.data());
    const RateCounts c = nonlinear_rates(*p.response, *p.panels, n, w.intensity.data(),
                                         w.c_re.data(), w.c_im.data());
    counts.solves += c.solves;
    if (c.live_nodes > counts.live_nodes) counts.live_nodes = c.live_nodes;
  };
  // The half linear steps between two nonlinear factors are one.
  diffract(grid, f.zeta(0.5 * h), f.kappa, half_gain, m, re, im, w.scratch);
  for (int step = 0; step < p.depth_steps; ++step) {
    const double start = h * step, middle = start + 0.5 * h;
    // The rate at the middle of the nonlinear factor: c = c(U exp(h c / 2)),
    // by fixed-point iteration from the previous step's rate (the first
    // step's: its start's).
    if (step == 0) respond(start, re, im);
    for (int k = 0; k < kCorrections; ++k) {
      apply_rate(size, 0.5 * h, w.c_re.data(), w.c_im.data(), re, im, w.trial_re.data(),
                 w.trial_im.data());
      respond(middle, w.trial_re.data(), w.trial_im.data());
    }
    apply_rate(size, h, w.c_re.data(), w.c_im.data(), re, im, re, im);
    const bool last = step + 1 == p.depth_steps;
    const double next = last ? f.length : middle + h;
    diffract(grid, f.zeta(next) - f.zeta(middle), f.kappa, last ? half_gain : half_gain * half_gain,
             m, re, im, w.scratch);
  }
  return counts;
}

void propagate_linear(const SampleFrame& frame, const RadialGrid& grid, double attenuation,
                      int m, double* re, double* im) {
  diffract(grid, frame.zeta_end, frame.kappa, std::exp(-0.5 * attenuation * frame.length), m, re,
           im, t_step.scratch);
}

}  // namespace zscan
