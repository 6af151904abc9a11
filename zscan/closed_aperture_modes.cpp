// The closed-aperture signal of one point by Laguerre-Gauss modes; see
// closed_aperture_modes.h. The field's change at a node, A e^{i phi} - 1,
// is formed as (A - 1) - 2 A sin^2(phi / 2) + i A sin(phi), which keeps its
// accuracy where the change is small. Relies on the quadratures.
#include "zscan/closed_aperture_modes.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

namespace zscan {

namespace {

std::size_t at(int i) { return static_cast<std::size_t>(i); }

// Beyond this v the beam's intensity e^-v is below the smallest normal
// double's share of the peak: the field there is the linear one.
constexpr double kFarestNode = 700.0;

}  // namespace

TimeNodes time_nodes(const TimeRule& coarse, const TimeRule& fine) {
  TimeNodes out;
  std::vector<std::pair<double, int>> all;
  for (double s : coarse.nodes) all.emplace_back(s, 0);
  for (double s : fine.nodes) all.emplace_back(s, 1);
  std::sort(all.begin(), all.end());
  std::size_t ic = 0, jf = 0;
  for (const auto& [s, rule] : all) {
    if (out.times.empty() || out.times.back() != s) {
      out.times.push_back(s);
      out.coarse.push_back(0.0);
      out.fine.push_back(0.0);
    }
    // Each rule's nodes are increasing, so the k-th of a rule met here is
    // its k-th node.
    if (rule == 0)
      out.coarse.back() = coarse.weights[ic++];
    else
      out.fine.back() = fine.weights[jf++];
  }
  return out;
}

ApertureSignal::ApertureSignal(const TimeNodes& nodes, FieldSource source)
    : nodes_(nodes), source_(std::move(source)) {}

ApertureSignal::Level& ApertureSignal::level(int i) {
  if (!levels_[i]) {
    levels_[i] = std::make_unique<Level>();
    levels_[i]->rule = laguerre_rule(kModeCounts[i]);
  }
  return *levels_[i];
}

const std::vector<double>& ApertureSignal::overlaps(Level& l, double share) {
  auto found = l.overlaps.find(share);
  if (found != l.overlaps.end()) return found->second;
  return l.overlaps.emplace(share, aperture_overlaps(l.rule.n, share)).first->second;
}

void ApertureSignal::evaluate(int i, double intensity, double gouy, double share, double* coarse,
                              double* fine) {
  Level& l = level(i);
  const LaguerreRule& rule = l.rule;
  const int n = rule.n;
  const int times = static_cast<int>(nodes_.times.size());
  fields_.resize(at(n) * at(times));
  for (int k = 0; k < n; ++k) {
    FieldValue* f = &fields_[at(k) * at(times)];
    const double v = rule.nodes[at(k)];
    if (v > kFarestNode || intensity == 0.0) {
      std::fill(f, f + times, FieldValue{});
    } else {
      source_(intensity * std::exp(-v), f);
    }
  }
  power_.assign(at(times), 0.0);
  const bool open = !(share < 1.0);
  if (open) {
    for (int k = 0; k < n; ++k) {
      const double w = rule.scaled_weights[at(k)] * std::exp(-rule.nodes[at(k)]);
      const FieldValue* f = &fields_[at(k) * at(times)];
      for (int q = 0; q < times; ++q) power_[at(q)] += w * (f[q].amplitude * f[q].amplitude);
    }
  } else {
    const std::vector<double>& m = overlaps(l, share);
    phase_re_.resize(at(n));
    phase_im_.resize(at(n));
    for (int p = 0; p < n; ++p) {
      phase_re_[at(p)] = std::cos(2.0 * p * gouy);
      phase_im_[at(p)] = -std::sin(2.0 * p * gouy);
    }
    re_.resize(at(n));
    im_.resize(at(n));
    for (int q = 0; q < times; ++q) {
      std::fill(re_.begin(), re_.end(), 0.0);
      std::fill(im_.begin(), im_.end(), 0.0);
      re_[0] = 1.0;
      for (int k = 0; k < n; ++k) {
        const FieldValue& f = fields_[at(k) * at(times) + at(q)];
        const double half = std::sin(0.5 * f.phase);
        const double change_re = (f.amplitude - 1.0) - 2.0 * f.amplitude * (half * half);
        const double change_im = f.amplitude * std::sin(f.phase);
        if (change_re == 0.0 && change_im == 0.0) continue;
        const double w = rule.scaled_weights[at(k)] * std::exp(-0.5 * rule.nodes[at(k)]);
        const double a = w * change_re, b = w * change_im;
        const double* lk = &rule.functions[at(k) * at(n)];
        for (int p = 0; p < n; ++p) {
          re_[at(p)] += a * lk[p];
          im_[at(p)] += b * lk[p];
        }
      }
      for (int p = 0; p < n; ++p) {
        const double r = re_[at(p)], s = im_[at(p)];
        re_[at(p)] = r * phase_re_[at(p)] - s * phase_im_[at(p)];
        im_[at(p)] = r * phase_im_[at(p)] + s * phase_re_[at(p)];
      }
      double power = 0.0;
      for (int p = 0; p < n; ++p) {
        const double* row = &m[at(p) * at(n)];
        double mr = 0.0, mi = 0.0;
        for (int r = 0; r < n; ++r) {
          mr += row[r] * re_[at(r)];
          mi += row[r] * im_[at(r)];
        }
        power += re_[at(p)] * mr + im_[at(p)] * mi;
      }
      power_[at(q)] = power;
    }
  }
  const double linear = open ? 1.0 : overlaps(l, share)[0];
  double sum_c = 0.0, sum_f = 0.0, wc = 0.0, wf = 0.0;
  for (int q = 0; q < times; ++q) {
    sum_c += nodes_.coarse[at(q)] * power_[at(q)];
    sum_f += nodes_.fine[at(q)] * power_[at(q)];
    wc += nodes_.coarse[at(q)];
    wf += nodes_.fine[at(q)];
  }
  *coarse = sum_c / (wc * linear);
  *fine = sum_f / (wf * linear);
}

PointSignal ApertureSignal::point(double intensity, double gouy, double share, double budget) {
  PointSignal out;
  double coarse = 0.0, fine = 0.0;
  evaluate(0, intensity, gouy, share, &coarse, &fine);
  double last_difference = HUGE_VAL;
  for (int i = 1; i < kModeLevels; ++i) {
    double next_coarse = 0.0, next_fine = 0.0;
    evaluate(i, intensity, gouy, share, &next_coarse, &next_fine);
    const double difference = std::fabs(next_fine - fine);
    // Two counts may agree by chance while the modes still alias: the
    // error is the larger of the last two differences, and both must be
    // within the budget.
    out.mode_error = std::max(difference, last_difference);
    out.value = next_fine;
    out.time_error = std::fabs(next_fine - next_coarse);
    out.modes = kModeCounts[i];
    fine = next_fine;
    last_difference = difference;
    if (out.mode_error <= budget) break;
  }
  if (!std::isfinite(out.value)) out.mode_error = out.time_error = HUGE_VAL;
  return out;
}

}  // namespace zscan
