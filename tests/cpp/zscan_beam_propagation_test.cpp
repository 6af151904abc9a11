// The beam-propagation model for thick samples against physics: the
// Hankel transform is orthogonal and gives a Gaussian's angular spectrum;
// the linear beam marched through a sample of index n0 (in the lens frame)
// is the Gaussian beam of parameter n0 q + z' (radius and on-axis
// intensity) and keeps its energy; as the sample thins at fixed optical
// depth the values meet the thin whole-beam and closed-aperture models at
// the sample's optical centre; a linear absorber deviates from 1 only
// through the population parked in its transparent fast levels, in
// proportion to their lifetimes; finer grids stay within the estimate; the
// values are the same bits for 1, 2 and 3 threads; the refusals and
// outcomes. Relies on the public header, the internal grid, frame and march
// headers and the whole-beam test helper.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "tests/cpp/zscan_whole_beam.h"
#include "zscan/beam_propagation_frame.h"
#include "zscan/beam_propagation_grid.h"
#include "zscan/beam_propagation_step.h"
#include "zscan/zscan.h"

namespace {

using whole_beam_test::Case;
constexpr double kPi = 3.141592653589793;

struct Thick {
  Case c;
  double n0 = 1.0;
  double aperture = 1.0;
  zscan::ClosedApertureOptics optics;
};

struct ThickResult {
  zscan::Status status = zscan::Status::ok;
  std::vector<double> values, errors;
  zscan::BeamPropagationStats stats;
};

ThickResult thick(const Thick& t) {
  std::vector<zscan::ClosedApertureScan> scans;
  for (double e : t.c.energies)
    scans.push_back({t.c.positions.data(), static_cast<int>(t.c.positions.size()), e, t.aperture});
  zscan::BeamPropagationRequest request;
  request.scans = scans.data();
  request.n_scans = static_cast<int>(scans.size());
  request.refractive_index = t.n0;
  request.tolerance = t.c.tolerance;
  ThickResult r;
  r.values.assign(static_cast<size_t>(t.c.points()), -7.0);
  r.errors.assign(static_cast<size_t>(t.c.points()), -7.0);
  zscan::BeamPropagationOutput out{r.values.data(), r.errors.data(), &r.stats};
  r.status = zscan::beam_propagation_transmittance(t.c.experiment(), t.c.spec_pars.data(),
                                                   t.optics, request, out);
  return r;
}

// The case with its sample thickness set to `width` at the same optical depth.
Case thickened(Case c, double width) {
  for (double& p : c.populations) p *= c.width / width;
  c.width = width;
  return c;
}

double rayleigh_cm(const Case& c) { return kPi * c.w0 * c.w0 / (c.M2 * c.wavelength) * 1e2; }

}  // namespace

TEST(BeamPropagationGrid, TransformIsOrthogonalAndGivesTheGaussiansSpectrum) {
  // int exp(-r^2/w^2) J0(kappa r) 2 pi r dr = pi w^2 exp(-kappa^2 w^2 / 4): the
  // transform of the weighted Gaussian is that spectrum, scaled as the grid
  // header says (u^_m = E^(kappa_m) / (sqrt(pi) R |J1(j_m)|)).
  for (int n : {17, 60}) {
    const zscan::HankelTransform t = zscan::hankel_transform(n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        double s = 0.0;
        for (int k = 0; k < n; ++k) s += t.matrix[i * n + k] * t.matrix[k * n + j];
        EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-14);
      }
    const double radius = 1.0, w = radius / 5.5;
    const zscan::RadialGrid g = zscan::radial_grid(t, radius);
    std::vector<double> u(n), spectrum(n, 0.0);
    for (int k = 0; k < n; ++k) u[k] = g.root_weight[k] * std::exp(-g.r[k] * g.r[k] / (w * w));
    for (int m = 0; m < n; ++m)
      for (int k = 0; k < n; ++k) spectrum[m] += t.matrix[m * n + k] * u[k];
    for (int m = 0; m < 8; ++m) {
      const double kappa = g.kappa[m];
      const double exact = kPi * w * w * std::exp(-kappa * kappa * w * w / 4.0) /
                           (std::sqrt(kPi) * radius * t.j1_abs[m]);
      EXPECT_NEAR(spectrum[m], exact, 1e-11 * std::fabs(spectrum[0])) << n << " " << m;
    }
  }
}

TEST(BeamPropagationMarch, LinearBeamInsideIsTheGaussianBeamOfParameterN0Q) {
  // q = z - i z0 in air, q' = n0 q + z' inside: radius w0 |q'| / (n0 z0),
  // on-axis intensity I0 |q'(0) / q'(z')|^2, the energy the incident one. The
  // march runs in the lens frame (E = U(r / s) / s ...): back in the lab frame
  // the radius is s times the U-space second-moment radius and the on-axis
  // intensity |U(0)|^2 / s^2.
  struct Geometry {
    double z_mm, n0, length;
  };
  for (const Geometry& g : {Geometry{-3.0, 1.5, 0.6}, Geometry{2.0, 1.0, 0.3},
                            Geometry{-20.0, 1.33, 0.2}, Geometry{0.0, 2.0, 0.05},
                            Geometry{-1.0, 1.0, 0.47}}) {
    zscan::FrameInputs in;
    in.wavelength = 532e-9;
    in.w0 = 20e-6;
    in.length = g.length;
    in.refractive_index = g.n0;
    in.position_mm = g.z_mm;
    const zscan::SampleFrame f = zscan::sample_frame(in);
    const zscan::RadialPlan plan = zscan::radial_plan(f, {6.0, 8.0, 16.0});
    const zscan::HankelTransform t = zscan::hankel_transform(plan.nodes);
    const zscan::RadialGrid grid = zscan::radial_grid(t, plan.radius);
    const int n = grid.size();
    const double z0 = kPi * 20e-4 * 20e-4 / 532e-7;  // cm
    const std::complex<double> q_face(g.n0 * 0.1 * g.z_mm, -g.n0 * z0);
    for (double depth : {0.3 * g.length, g.length}) {
      zscan::SampleFrame part = f;
      part.length = depth;
      part.zeta_end = f.zeta(depth);
      std::vector<double> re(n), im(n), c_re(n), c_im(n);
      double energy_in = 0.0;
      for (int k = 0; k < n; ++k) {
        const std::complex<double> u = grid.root_weight[k] * f.linear_field(grid.r[k], 0.0);
        re[k] = u.real();
        im[k] = u.imag();
        energy_in += std::norm(u);
      }
      EXPECT_NEAR(energy_in, kPi * f.radius_at(0.0) * f.radius_at(0.0) / 2.0, 1e-12 * energy_in);
      zscan::propagate_linear(part, grid, 0.0, 1, re.data(), im.data());
      double energy = 0.0, moment = 0.0;
      for (int k = 0; k < n; ++k) {
        const double power = re[k] * re[k] + im[k] * im[k];
        energy += power;
        moment += grid.r[k] * grid.r[k] * power;
      }
      EXPECT_NEAR(energy, energy_in, 1e-9 * energy_in);
      const std::complex<double> q = q_face + depth;
      const double s = f.scale(depth);
      const double radius = s * std::sqrt(2.0 * moment / energy);
      EXPECT_NEAR(radius, 20e-4 * std::abs(q) / (g.n0 * z0), 1e-6 * radius) << g.z_mm;
      zscan::series_coefficients(grid, 1, re.data(), im.data(), c_re.data(), c_im.data());
      double axis_re = 0.0, axis_im = 0.0;
      for (int k = 0; k < n; ++k) axis_re += c_re[k], axis_im += c_im[k];
      const double on_axis = (axis_re * axis_re + axis_im * axis_im) / (s * s);
      EXPECT_NEAR(on_axis, std::norm(q_face / q), 1e-6 * on_axis) << g.z_mm;
    }
  }
}

// The thick values of t and of the same sample at half its thickness (same
// optical depth) centred where t's optical centre lies, extrapolated
// linearly to L -> 0 (the change of first order: the light weakens across
// the sample, so its front counts more), with the error bound of the
// extrapolation (3 and 1 times the two estimates).
struct ThinLimit {
  std::vector<double> values, errors;
};
ThinLimit thin_limit(const Thick& t) {
  Thick half = t;
  half.c = thickened(t.c, t.c.width / 2.0);
  for (double& x : half.c.positions) x += 10.0 * half.c.width / (2.0 * t.n0);
  const ThickResult whole = thick(t), closer = thick(half);
  EXPECT_EQ(whole.status, zscan::Status::ok);
  EXPECT_EQ(closer.status, zscan::Status::ok);
  ThinLimit out;
  for (size_t i = 0; i < whole.values.size(); ++i) {
    out.values.push_back(2.0 * closer.values[i] - whole.values[i]);
    out.errors.push_back(2.0 * closer.errors[i] + whole.errors[i]);
  }
  return out;
}

TEST(BeamPropagationModel, ThinSampleIsTheThinModelsAtItsOpticalCentre) {
  // At fixed optical depth the thick values tend to the thin models' at the
  // sample's optical centre z + L / (2 n0); the remainder after the
  // extrapolation is of second order in L / z0 (here 1/400: below 1e-6).
  // The open aperture against the whole-beam model with a sech^2 pulse and
  // M2 = 1.5; the closed aperture with excited-state refraction against the
  // closed-aperture model.
  Case demo;
  demo.positions = {-4.0, -1.0, 0.0, 0.6};
  demo.energies = {1.5e-6};
  demo.pulse_shape = zscan::PulseShape::sech2;
  demo.M2 = 1.5;
  demo.tolerance = 1e-6;
  Thick t;
  t.c = thickened(demo, rayleigh_cm(demo) / 400.0);
  t.n0 = 1.5;
  Case centre = t.c;
  for (double& x : centre.positions) x += 10.0 * t.c.width / (2.0 * t.n0);
  centre.tolerance = 1e-7;
  const ThinLimit open = thin_limit(t);
  const whole_beam_test::Result thin = whole_beam_test::evaluate(centre);
  for (size_t i = 0; i < open.values.size(); ++i) {
    EXPECT_NEAR(open.values[i], thin.values[i], 1e-6 + open.errors[i] + thin.errors[i]) << i;
    EXPECT_LT(open.values[i], 0.95);
  }
  t.c.pulse_shape = centre.pulse_shape = zscan::PulseShape::gaussian;
  t.aperture = 0.1;
  t.optics.sigma_r1 = 3e-17;
  const ThinLimit closed = thin_limit(t);
  std::vector<zscan::ClosedApertureScan> scans{
      {centre.positions.data(), static_cast<int>(centre.positions.size()), 1.5e-6, 0.1}};
  zscan::ClosedApertureRequest request;
  request.scans = scans.data();
  request.n_scans = 1;
  request.tolerance = 1e-7;
  std::vector<double> values(scans[0].n_points), errors(scans[0].n_points);
  ASSERT_EQ(zscan::closed_aperture_transmittance(centre.experiment(), centre.spec_pars.data(),
                                                 t.optics, request,
                                                 {values.data(), errors.data(), nullptr}),
            zscan::Status::ok);
  for (size_t i = 0; i < values.size(); ++i)
    EXPECT_NEAR(closed.values[i], values[i], 1e-6 + closed.errors[i] + errors[i]) << i;
}

TEST(BeamPropagationModel, LinearAbsorberDeviatesInProportionToItsFastLifetimes) {
  // Equal cross-sections: absorption only falls by the population parked in
  // the transparent levels 2 and 4, about sigma phi tau_21 of the excited
  // ones, so T - 1 is positive and proportional to the fast lifetimes
  // (small: about 1e-5 with lifetimes of 0.1 ps).
  Thick t;
  t.c = thickened(Case{}, rayleigh_cm(Case{}));
  t.c.positions = {-1.0, 0.0, 1.5};
  t.c.energies = {1.5e-6};
  t.c.tolerance = 1e-8;
  std::vector<double> deviation[2];
  for (int k = 0; k < 2; ++k) {
    const double fast = (k + 1) * 1e-13;
    t.c.spec_pars = {1e-17, 1e-17, 1e-17, 5e-9, 1e-8, fast, 1e-5, fast};
    const ThickResult r = thick(t);
    ASSERT_EQ(r.status, zscan::Status::ok);
    for (size_t i = 0; i < r.values.size(); ++i) {
      deviation[k].push_back(r.values[i] - 1.0);
      EXPECT_GT(r.values[i] - 1.0, 10.0 * r.errors[i]);
      EXPECT_LT(r.values[i] - 1.0, 1e-4);
    }
  }
  for (size_t i = 0; i < deviation[0].size(); ++i)
    EXPECT_NEAR(deviation[1][i] / deviation[0][i], 2.0, 2e-3);
}

TEST(BeamPropagationModel, FinerGridsStayWithinTheEstimateAndThreadsChangeNoBit) {
  // A thick sample (L = z0) with the focus inside: the values at 1e-5 and at
  // 1e-7 (finer grids everywhere) differ by less than the coarser estimate;
  // the open and closed apertures on 1, 2 and 3 threads give the same bits.
  Thick t;
  t.c = thickened(Case{}, rayleigh_cm(Case{}));
  t.c.positions = {-1.5, -0.5, 0.4};
  t.c.energies = {1.5e-6};
  for (double aperture : {1.0, 0.2}) {
    t.aperture = aperture;
    t.c.tolerance = 1e-5;
    const ThickResult coarse = thick(t);
    t.c.tolerance = 1e-7;
    const ThickResult fine = thick(t);
    ASSERT_EQ(fine.status, zscan::Status::ok);
    for (size_t i = 0; i < fine.values.size(); ++i) {
      EXPECT_LE(std::fabs(coarse.values[i] - fine.values[i]), coarse.errors[i]) << i;
      EXPECT_LE(coarse.errors[i], 1e-5);
      EXPECT_LE(fine.errors[i], 1e-7);
    }
    t.c.tolerance = 1e-5;
    std::vector<ThickResult> runs;
    for (int threads : {1, 2, 3}) {
      zscan::set_model_threads(threads);
      runs.push_back(thick(t));
    }
    zscan::set_model_threads(0);
    for (const ThickResult& r : runs) {
      EXPECT_EQ(r.values, runs[0].values);
      EXPECT_EQ(r.errors, runs[0].errors);
    }
  }
}

TEST(BeamPropagationModel, RefusesWhatBreaksItsRulesAndReportsOutcomes) {
  Thick base;
  base.c.positions = {0.0, 1.0};
  base.c.energies = {1e-6};
  const auto refused = [](const ThickResult& r) {
    EXPECT_EQ(r.status, zscan::Status::invalid_input);
    for (size_t i = 0; i < r.values.size(); ++i) {
      EXPECT_TRUE(std::isnan(r.values[i]));
      EXPECT_EQ(r.errors[i], std::numeric_limits<double>::infinity());
    }
  };
  for (double n0 : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
    Thick t = base;
    t.n0 = n0;
    refused(thick(t));
  }
  Thick wide = base;
  wide.aperture = 1.5;
  refused(thick(wide));
  Thick loose = base;
  loose.c.tolerance = 1e-11;
  refused(thick(loose));
  Thick negative = base;
  negative.optics.beta = -1e-9;
  refused(thick(negative));
  // The second level empty while its lifetime would drain it.
  Thick drained = base;
  drained.c.populations = {1e17, 0.0, 1e16, 0.0, 0.0};
  drained.c.spec_pars[5] = 1e-12;
  EXPECT_EQ(thick(drained).status, zscan::Status::not_stationary);
  Thick opaque = base;
  opaque.c.populations = {1e25, 0.0, 0.0, 0.0, 0.0};
  EXPECT_EQ(thick(opaque).status, zscan::Status::too_thick);
  const zscan::InterruptHookScope stop([](void*) { return true; }, nullptr);
  const ThickResult stopped = thick(base);
  EXPECT_EQ(stopped.status, zscan::Status::interrupted);
  EXPECT_TRUE(std::isnan(stopped.values[0]));
}
