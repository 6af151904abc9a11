// Benchmarks of the numerical core on the demo's settings (532 nm, 4 ns,
// 20 um waist, 1 mm RSA sample, 10 time slices, 10 slabs): one integrator
// call of the rate and of the attenuation step at the focus and in the
// wings, and one model evaluation of a 41-point scan at two pulse energies,
// by the documented model and by the whole-beam model (at its default
// tolerance; one table serves both energies) for the demo's reverse
// saturable absorber, a saturable one, and with all derivatives.
// Each runs on one thread and on all cores (independent copies in parallel
// for the integrator calls; the model's own worker threads for the model).
// Integrator calls on several threads run independent copies, one per thread.
// Relies on zscan's public header and, to time single steps and to prepare
// the grids, on its internal headers (beam, model state, rate equations).
#include <benchmark/benchmark.h>

#include <thread>
#include <vector>

#include "zscan/beam.h"
#include "zscan/model_state.h"
#include "zscan/rate_equations.h"
#include "zscan/zscan.h"

namespace {

const double kSpecPars[8] = {1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12};
const double kPopulations[5] = {3e17, 0.0, 0.0, 0.0, 0.0};
const double kWavelength = 532e-9, kTau = 4e-9, kW0 = 20e-6, kM2 = 1.0, kWidth = 0.1;
const int kSlices = 10, kSlabs = 10, kPoints = 41;

int cores() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

// The model coefficients of the demo sample, on the calling thread.
void set_coefficients() {
  const double frequency = 299792458.0 / kWavelength;
  zscan::write_model_coefficients(&frequency, kSpecPars);
}

// Front-face peak intensity at 1.5 uJ, at the focus and 20 mm away.
// The demo's experiment.
zscan::Experiment experiment() {
  // Fields in declaration order: wavelength, w0, M2, tau, sample_width,
  // t_slices, z_slices, populations.
  return {kWavelength, kW0, kM2, kTau, kWidth, kSlices, kSlabs, kPopulations};
}

double peak_intensity(double z_m) {
  return zscan::beam_intensity(zscan::make_grids(experiment()).beam, 1.5e-6, 0.0, 0.0, z_m);
}

void BM_RateStep(benchmark::State& state, double z_m) {
  set_coefficients();
  const double state0[6] = {kPopulations[0], 0.0, 0.0, 0.0, 0.0, peak_intensity(z_m)};
  const double dt = kTau / (kSlices - 1);
  double y[6];
  zscan::IntegratorWork work;
  for (auto _ : state) {
    zscan::integrate_rates(state0, dt, work, y);
    benchmark::DoNotOptimize(y);
  }
  state.counters["steps"] = benchmark::Counter(work.iwork[10], benchmark::Counter::kAvgThreads);
}

void BM_AttenuationStep(benchmark::State& state, double z_m) {
  set_coefficients();
  // Populations after a rate step under the same light.
  const double rate0[6] = {kPopulations[0], 0.0, 0.0, 0.0, 0.0, peak_intensity(z_m)};
  const double dt = kTau / (kSlices - 1), dz = kWidth / (kSlabs - 1);
  double pops[6], y[6];
  zscan::IntegratorWork work;
  zscan::integrate_rates(rate0, dt, work, pops);
  const double state0[6] = {rate0[5], pops[0], pops[1], pops[2], pops[3], pops[4]};
  for (auto _ : state) {
    zscan::integrate_attenuation(state0, dz, work, y);
    benchmark::DoNotOptimize(y);
  }
  state.counters["steps"] = benchmark::Counter(work.iwork[10], benchmark::Counter::kAvgThreads);
}

BENCHMARK_CAPTURE(BM_RateStep, focus, 0.0)->ThreadRange(1, cores())->UseRealTime();
BENCHMARK_CAPTURE(BM_RateStep, wing, 0.02)->ThreadRange(1, cores())->UseRealTime();
BENCHMARK_CAPTURE(BM_AttenuationStep, focus, 0.0)->ThreadRange(1, cores())->UseRealTime();
BENCHMARK_CAPTURE(BM_AttenuationStep, wing, 0.02)->ThreadRange(1, cores())->UseRealTime();

// The grids and intensities of the 41-point scan at 0.5 and 1.5 uJ.
struct Scan {
  std::vector<double> positions, depth, times, intensity;
  double frequency = 0.0;
  Scan() {
    const int datasets = 2, points = kPoints * datasets;
    std::vector<double> x_mm(points), energy = {0.5e-6, 1.5e-6};
    for (int p = 0; p < points; ++p) x_mm[p] = -20.0 + (p % kPoints);
    positions.resize(points);
    zscan::fill_scan_positions(positions.data(), x_mm.data(), points);
    const zscan::ModelGrids grids = zscan::make_grids(experiment());
    frequency = grids.frequency;
    depth = grids.depth;
    times = grids.times;
    intensity.resize(static_cast<size_t>(points) * kSlices);
    zscan::ScanSet scan;
    scan.positions = positions.data();
    scan.pulse_energy = energy.data();
    scan.num_x_pts = kPoints;
    scan.num_datasets = datasets;
    zscan::fill_intensity_grid(intensity.data(), grids, scan);
  }
};

// Argument: the model's thread count.
void BM_ModelEvaluation(benchmark::State& state) {
  zscan::set_model_threads(static_cast<int>(state.range(0)));
  const Scan scan;
  std::vector<double> out(2 * kPoints);
  for (auto _ : state) {
    for (int d = 0; d < 2; ++d)
      zscan::transmittance_model(&out[d * kPoints], &scan.positions[d * kPoints], &kPoints,
                                 scan.depth.data(), &kSlabs, scan.times.data(), &kSlices,
                                 kPopulations, &scan.intensity[static_cast<size_t>(d) * kPoints * kSlices],
                                 &scan.frequency, kSpecPars);
    benchmark::DoNotOptimize(out.data());
  }
  zscan::set_model_threads(0);
}

BENCHMARK(BM_ModelEvaluation)
    ->ArgName("model_threads")
    ->Arg(1)
    ->Arg(cores())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

// The whole-beam evaluations: the demo's RSA scans (41 points at 0.5 and
// 1.5 uJ) and a saturable absorber's (1e17 cm^-3 in level 0, sigma_0 = 4e-17,
// sigma_1 = 2e-18, sigma_2 = 1e-18 cm^2, tau_10 = 2 ns, 41 points at 0.5 and
// 1 uJ), each in one call at the default tolerance: one table serves both
// energies.
const double kSaturablePars[8] = {4e-17, 2e-18, 1e-18, 2e-9, 1e8, 1e-12, 1e-5, 1e-12};
const double kSaturablePopulations[5] = {1e17, 0.0, 0.0, 0.0, 0.0};

struct WholeBeamCase {
  const double* spec_pars;
  const double* populations;
  double energies[2];
};
const WholeBeamCase kWholeBeamRsa{kSpecPars, kPopulations, {0.5e-6, 1.5e-6}};
const WholeBeamCase kWholeBeamSa{kSaturablePars, kSaturablePopulations, {0.5e-6, 1e-6}};

// The demo's experiment with these populations.
zscan::WholeBeamExperiment whole_beam_experiment(const double* populations) {
  zscan::WholeBeamExperiment e;
  e.wavelength = kWavelength;
  e.w0 = kW0;
  e.M2 = kM2;
  e.tau = kTau;
  e.sample_width = kWidth;
  e.populations = populations;
  return e;
}

// Argument: the model's thread count. Counters: the table's nodes, the
// integrations and their steps of one evaluation; with `derivatives` > 0,
// those with respect to the first that many parameters a fit may free
// (sigma_0, sigma_1, ...; all 11 at most).
void run_whole_beam(benchmark::State& state, const WholeBeamCase& c, int derivatives) {
  zscan::set_model_threads(static_cast<int>(state.range(0)));
  std::vector<double> x_mm(kPoints);
  for (int p = 0; p < kPoints; ++p) x_mm[p] = -20.0 + p;
  const zscan::WholeBeamScan scans[2] = {{x_mm.data(), kPoints, c.energies[0]},
                                         {x_mm.data(), kPoints, c.energies[1]}};
  std::vector<zscan::WholeBeamParameter> parameters;
  for (int k = 0; k < derivatives; ++k) parameters.push_back(static_cast<zscan::WholeBeamParameter>(k));
  zscan::WholeBeamRequest request;
  request.scans = scans;
  request.n_scans = 2;
  request.parameters = parameters.data();
  request.n_parameters = static_cast<int>(parameters.size());
  const zscan::WholeBeamExperiment e = whole_beam_experiment(c.populations);
  std::vector<double> values(2 * kPoints), errors(2 * kPoints),
      slopes(2 * kPoints * parameters.size());
  zscan::WholeBeamStats stats;
  zscan::WholeBeamOutput output;
  output.values = values.data();
  output.errors = errors.data();
  output.derivatives = slopes.data();
  output.stats = &stats;
  for (auto _ : state) {
    zscan::whole_beam_evaluate(e, c.spec_pars, request, output);
    benchmark::DoNotOptimize(values.data());
  }
  state.counters["nodes"] = stats.table_nodes;
  state.counters["integrations"] = static_cast<double>(stats.integrations);
  state.counters["steps"] = static_cast<double>(stats.integrator_steps);
  zscan::set_model_threads(0);
}

void BM_WholeBeamEvaluation(benchmark::State& state) { run_whole_beam(state, kWholeBeamRsa, 0); }
void BM_WholeBeamEvaluationSA(benchmark::State& state) { run_whole_beam(state, kWholeBeamSa, 0); }
// A fit that frees sigma_0 and sigma_1, and one that frees everything.
void BM_WholeBeamTwoDerivatives(benchmark::State& state) { run_whole_beam(state, kWholeBeamRsa, 2); }
void BM_WholeBeamDerivatives(benchmark::State& state) {
  run_whole_beam(state, kWholeBeamRsa, zscan::kWholeBeamParameters);
}

// The closed-aperture evaluation of the demo's RSA scans (41 points at 0.5
// and 1.5 uJ) through an aperture of S = 0.1 in the far field, with
// excited-state refraction sigma_r1 = 1e-17, sigma_r3 = 5e-18 cm^2, in one
// call at the default tolerance. Argument: the model's thread count.
// Counters: the table's nodes, the integrations, the time nodes and the
// most Laguerre modes a point needed.
void BM_ClosedApertureEvaluation(benchmark::State& state) {
  zscan::set_model_threads(static_cast<int>(state.range(0)));
  std::vector<double> x_mm(kPoints);
  for (int p = 0; p < kPoints; ++p) x_mm[p] = -20.0 + p;
  zscan::ClosedApertureScan scans[2] = {{x_mm.data(), kPoints, 0.5e-6, 0.1},
                                        {x_mm.data(), kPoints, 1.5e-6, 0.1}};
  zscan::ClosedApertureRequest request;
  request.scans = scans;
  request.n_scans = 2;
  zscan::ClosedApertureOptics optics;
  optics.sigma_r1 = 1e-17;
  optics.sigma_r3 = 5e-18;
  const zscan::WholeBeamExperiment e = whole_beam_experiment(kPopulations);
  std::vector<double> values(2 * kPoints), errors(2 * kPoints);
  zscan::ClosedApertureStats stats;
  zscan::ClosedApertureOutput output;
  output.values = values.data();
  output.errors = errors.data();
  output.stats = &stats;
  for (auto _ : state) {
    zscan::closed_aperture_transmittance(e, kSpecPars, optics, request, output);
    benchmark::DoNotOptimize(values.data());
  }
  state.counters["nodes"] = stats.table_nodes;
  state.counters["integrations"] = static_cast<double>(stats.integrations);
  state.counters["time_nodes"] = stats.time_nodes;
  state.counters["modes"] = stats.largest_modes;
  zscan::set_model_threads(0);
}

// The beam-propagation evaluation of the demo's scans (its 1 mm RSA sample,
// n0 = 1, 41 points at 0.5 and 1.5 uJ, the open aperture) in one call at
// the default tolerance, to be set against BM_ModelEvaluation (the on-axis
// model, 10 x 10, of the same scans). Argument: the model's thread count.
// Counters: (point, grid) evaluations, Radau panel solves, the most radial
// nodes and depth steps any grid had.
void BM_BeamPropagationEvaluation(benchmark::State& state) {
  zscan::set_model_threads(static_cast<int>(state.range(0)));
  std::vector<double> x_mm(kPoints);
  for (int p = 0; p < kPoints; ++p) x_mm[p] = -20.0 + p;
  zscan::ClosedApertureScan scans[2] = {{x_mm.data(), kPoints, 0.5e-6, 1.0},
                                        {x_mm.data(), kPoints, 1.5e-6, 1.0}};
  zscan::BeamPropagationRequest request;
  request.scans = scans;
  request.n_scans = 2;
  const zscan::WholeBeamExperiment e = whole_beam_experiment(kPopulations);
  std::vector<double> values(2 * kPoints), errors(2 * kPoints);
  zscan::BeamPropagationStats stats;
  zscan::BeamPropagationOutput output{values.data(), errors.data(), &stats};
  for (auto _ : state) {
    zscan::beam_propagation_transmittance(e, kSpecPars, zscan::ClosedApertureOptics{}, request,
                                          output);
    benchmark::DoNotOptimize(values.data());
  }
  state.counters["grids"] = static_cast<double>(stats.grids);
  state.counters["solves"] = static_cast<double>(stats.panel_solves);
  state.counters["radial"] = stats.largest_radial_nodes;
  state.counters["depth"] = stats.largest_depth_steps;
  zscan::set_model_threads(0);
}

// One and two model threads, milliseconds of real time.
#define WHOLE_BEAM_BENCHMARK(function) \
  BENCHMARK(function)->ArgName("model_threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0)

WHOLE_BEAM_BENCHMARK(BM_WholeBeamEvaluation);
WHOLE_BEAM_BENCHMARK(BM_WholeBeamEvaluationSA);
WHOLE_BEAM_BENCHMARK(BM_WholeBeamTwoDerivatives);
WHOLE_BEAM_BENCHMARK(BM_WholeBeamDerivatives);
WHOLE_BEAM_BENCHMARK(BM_ClosedApertureEvaluation);
WHOLE_BEAM_BENCHMARK(BM_BeamPropagationEvaluation);

}  // namespace

BENCHMARK_MAIN();
