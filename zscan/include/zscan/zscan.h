// The z-scan model and fit: the one header its clients include.
//
// fit_core (and run_fit_core, the same with its outcome) runs one
// least-squares fit of the chosen spectroscopic parameters to measured
// open-aperture z-scan data, from one start vector; transmittance_model
// evaluates the model transmittance of one data set on prepared grids;
// scan_transmittance evaluates it at any positions from the experiment's
// settings. whole_beam_transmittance evaluates the whole-beam model (the
// pulse's energy transmittance over the beam's radius, the pulse and the
// sample's depth) to a requested accuracy, with an estimate of its error.
// check_fit_inputs is the one statement of what a fit's arrays and counts
// must satisfy. The interrupt check, the memory limit and the model's
// thread count (included below) complete the interface. Relies on the
// integrator (lsoda) and MINPACK behind it; nothing of either is visible here.
#ifndef ZSCAN_ZSCAN_H
#define ZSCAN_ZSCAN_H

#include <limits>

#include "zscan/interrupt.h"
#include "zscan/memory_limit.h"
#include "zscan/model_threads.h"

namespace zscan {

// ------------------------------------------------------------------ limits
constexpr int kLevels = 5;      // levels of the absorber: populations N0..N4
constexpr int kSpecPars = 8;    // spectroscopic parameters (see transmittance_model)
constexpr int kWingPoints = 5;  // points at either end of a scan that set its baseline
constexpr int kMinPoints = kWingPoints;  // points per data set
constexpr int kMinSlices = 2;   // time slices and depth slabs

// ------------------------------------------------------------------ outcome
enum class Status {
  ok,
  invalid_input,   // a count or index would lead outside the caller's arrays,
                   // or a value the model cannot start from
  out_of_memory,   // working storage could not be obtained, or would exceed
                   // the memory the process may use (usable_memory_bytes)
  interrupted,     // this thread's interrupt check asked the call to stop
  // The whole-beam model's outcomes (WholeBeamStats says more):
  too_thick,       // the sample's linear optical depth is beyond what the
                   // model resolves (kWholeBeamMaxOpticalDepth)
  not_stationary,  // the initial populations cannot be kept stationary in
                   // the dark: a level the compensation drains holds nothing
  left_physics,    // the populations left [0, N_total] by more than the
                   // integration's own accuracy allows: no value is returned
};

// ------------------------------------------------------------- input rules
// The shape of a fit call: the lengths of the arrays handed in and the
// counts and settings they must agree with.
struct FitShape {
  long long x_length = 0;             // scan positions
  long long y_length = 0;             // measured transmittances
  long long pulse_energy_length = 0;  // pulse energies
  long long spec_pars_length = 0;     // spectroscopic parameters
  long long populations_length = 0;   // initial populations
  int num_x_pts = 0;                  // points per data set
  int num_datasets = 0;               // data sets
  int t_slices = 0;                   // time slices
  int z_slices = 0;                   // depth slabs
  long long n_fit = 0;                // fitted parameters
  double wavelength = 0.0;            // m
  double M2 = 0.0;                    // beam quality factor
  const int* fit_indices = nullptr;   // [n_indices] 1-based positions in spec_pars
  long long n_indices = 0;            // of the fitted entries; null: not checked
};

// The rules a fit call must satisfy, in the order they are checked.
enum class InputRule {
  ok,
  too_few_points,          // num_x_pts < kMinPoints
  too_few_datasets,        // num_datasets < 1
  too_many_points,         // num_x_pts * num_datasets beyond a 32-bit count
  x_length,                // x_length != num_x_pts * num_datasets
  y_length,                // y_length != num_x_pts * num_datasets
  pulse_energy_length,     // pulse_energy_length < num_datasets
  spec_pars_length,        // spec_pars_length < kSpecPars
  populations_length,      // populations_length < kLevels
  populations_too_long,    // populations_length beyond a 32-bit count
  too_few_time_slices,     // t_slices < kMinSlices
  too_few_depth_slices,    // z_slices < kMinSlices
  too_many_fitted,         // n_fit > num_x_pts * num_datasets
  zero_wavelength,         // wavelength == 0
  zero_M2,                 // M2 == 0
  fit_index_out_of_range,  // an entry of fit_indices outside 1..kSpecPars
};

// The first rule `shape` violates, InputRule::ok when it satisfies all.
InputRule check_fit_inputs(const FitShape& shape);

// ------------------------------------------------------------------- fit
// Arguments, in order:
//  centered_x   [num_x_pts*num_datasets] scan positions relative to the centre, mm
//  y_data       [num_x_pts*num_datasets] measured normalised transmittance
//  populations  [n_pop] initial level populations N0..N4 (cm^-3), at least 5
//  residuals    [n_res] out: y_data - model at the fitted parameters
//  error        out: weighted residual norm sqrt(sum w_p (y_p - model_p)^2)
//  t_slices, z_slices   time slices across the pulse, depth slabs (>= 2 each)
//  sample_width thickness (cm); tau pulse duration parameter (s)
//  wavelength (m), w0 beam waist radius (m), M2 beam quality factor
//  pulse_energy [num_datasets] pulse energy of each data set (J)
//  spec_pars    [8] in/out: start vector; fitted entries hold the fit on return
//  core_indices [n_fit] 1-based positions (1..8) in spec_pars of the fitted entries
//  n_fit, num_x_pts (>= 5), num_datasets (>= 1), n_pop, n_res (<= points)
// With n_fit < 1 or n_fit > points nothing can be fitted: spec_pars keeps the
// start vector and the error is the weighted norm there. A call whose inputs
// would be read outside their arrays (check_fit_inputs on the counts it is
// given: num_x_pts < 5, num_datasets < 1, more points than a 32-bit count
// holds, a slice count below 2, n_pop < 5, an index outside 1..8), whose
// working storage cannot be obtained, or that this thread's interrupt check
// stopped, leaves spec_pars unchanged and sets the error and the residuals to
// NaN; run_fit_core says which. At most min(n_res, points) residuals are
// written. The wavelength and M2 are not examined here.
void fit_core(const double* centered_x, const double* y_data,
              const double* populations, double* residuals, double* error,
              const int* t_slices, const int* z_slices,
              const double* sample_width, const double* tau,
              const double* wavelength, const double* w0, const double* M2,
              const double* pulse_energy, double* spec_pars,
              const int* core_indices, const int* n_fit, const int* num_x_pts,
              const int* num_datasets, const int* n_pop, const int* n_res);

// fit_core with its outcome: Status::invalid_input, Status::out_of_memory
// (checked against usable_memory_bytes before anything is allocated) or
// Status::interrupted, each leaving spec_pars unchanged and the error and
// the n_res residuals NaN.
Status run_fit_core(const double* centered_x, const double* y_data,
                    const double* populations, double* residuals, double* error,
                    const int* t_slices, const int* z_slices,
                    const double* sample_width, const double* tau,
                    const double* wavelength, const double* w0, const double* M2,
                    const double* pulse_energy, double* spec_pars,
                    const int* core_indices, const int* n_fit,
                    const int* num_x_pts, const int* num_datasets,
                    const int* n_pop, const int* n_res);

// ------------------------------------------------------------------ model
// Normalised open-aperture transmittance of the n_points points of one data
// set. Every point sends the pulse, time slice by time slice, through
// z_slices slabs of the sample: in each slab the five level populations evolve
// for one time step under the light that reaches it, then the slab absorbs
// that light according to its populations. Transmitted and incident on-axis
// intensities are summed over the pulse; their ratios are shifted so that the
// mean of the five first and five last ratios becomes 1.0.
//
// Arguments, in order:
//  out          [n_points] out: model transmittance of every point
//  positions    [n_points] scan positions of the data set; only their number
//               matters
//  n_points     number of points (>= 5)
//  depth_grid   [z_slices] depths of the slabs, depth_grid[0] = 0.0; the slab
//               thickness is depth_grid[1]
//  z_slices     number of slabs (>= 2)
//  time_grid    [t_slices] times of the slices; the time step is
//               time_grid[1] - time_grid[0]
//  t_slices     number of time slices (>= 2)
//  populations  [>= 5] initial populations N0..N4 of every slab
//  intensity    [n_points * t_slices] front-face on-axis intensity, point
//               index fastest: point i at slice j is intensity[i + n_points*j]
//  frequency    optical frequency (Hz)
//  spec_pars    [8] cross-sections of levels 0, 1, 3 and lifetimes of the
//               transitions 1->0, 1->3, 2->1, 3->0, 4->3
// The model's per-thread coefficients are rewritten first, so a call never
// depends on an earlier one. With n_points < 5, t_slices < 2 or
// z_slices < 2, when the call's working storage cannot be obtained, or when
// this thread's interrupt check asks it to stop (consulted between time
// slices), every entry of out (if any) is set to NaN.
void transmittance_model(double* out, const double* positions,
                         const int* n_points, const double* depth_grid,
                         const int* z_slices, const double* time_grid,
                         const int* t_slices, const double* populations,
                         const double* intensity, const double* frequency,
                         const double* spec_pars);

// The experiment's settings.
struct Experiment {
  double wavelength = 0.0;    // m
  double w0 = 0.0;            // beam waist radius, m
  double M2 = 0.0;            // beam quality factor
  double tau = 0.0;           // pulse duration parameter, s
  double sample_width = 0.0;  // cm
  int t_slices = 0;           // time slices across the pulse, >= kMinSlices
  int z_slices = 0;           // depth slabs, >= kMinSlices
  const double* populations = nullptr;  // [kLevels] initial populations, cm^-3
};

// Where the model is evaluated and how it is normalised.
struct ScanPoints {
  const double* positions = nullptr;       // [n_points] mm, relative to the scan's centre
  int n_points = 0;                        // >= 1
  const double* wing_positions = nullptr;  // [n_wing] the measured scan's positions
                                           // (relative to its centre, mm)
  int n_wing = 0;                          // >= kWingPoints: its first and last
                                           // kWingPoints points set the baseline
  double pulse_energy = 0.0;               // J
};

// Model transmittance at every requested position: each point's
// pulse-integrated ratio, shifted exactly as transmittance_model shifts a
// data set, but with the shift computed from the ratios at the first and last
// kWingPoints of wing_positions (a wing position equal to a requested one is
// evaluated once). With wing_positions equal to positions the result equals
// transmittance_model on that data set's grids bit for bit, and so y_data
// minus fit_core's residuals at the same parameters. The points run on the
// model's worker threads; this thread's interrupt check is consulted before
// the evaluation and between its time slices.
// Returns Status::invalid_input for a null array, n_points < 1, n_wing <
// kWingPoints, a slice count below kMinSlices, a zero wavelength or M2, or a
// NaN among the settings, populations, positions, pulse energy or spec_pars;
// Status::out_of_memory when working storage cannot be obtained or would
// exceed usable_memory_bytes; Status::interrupted when the interrupt check
// asked to stop. On any of them every entry of out is NaN (when out is
// given).
Status scan_transmittance(const Experiment& experiment, const ScanPoints& points,
                          const double* spec_pars /*[kSpecPars]*/,
                          double* out /*[n_points]*/);

// ------------------------------------------------------------ whole beam
// The whole-beam model: the energy transmittance of the whole pulse and
// beam, integrated over radius, time and the sample's depth (thin sample: the
// beam's width does not change across it, propagation in retarded time),
// with the populations of every point evolving by the five rate equations
// under the local intensity. The pulse, of intensity FWHM tau, is Gaussian
// in time, exp(-4 ln2 t^2 / tau^2), or sech^2(1.7627 t / tau), and carries
// exactly its energy E: its peak intensity at position z from the focus is
// I0 = 1e-4 E / ((pi w(z)^2 / 2) tau P) W/cm^2 with P the pulse's integral
// over time in units of tau (sqrt(pi / (4 ln 2)) = 1.0645 for the Gaussian,
// 2 / 1.7627 = 1.1346 for sech^2), w(z) = w0 sqrt(1 + (z / z0)^2), z0 = pi
// w0^2 / (M2 wavelength).
//
// The initial populations are kept stationary in the dark. With c =
// -R(N_init, 0), the rates the plain rate equations would have in the dark
// (a vector over the levels summing to zero), the rates are dN/dt = R(N,
// phi) + C(N): a level with c_l < 0 is drained, C_l = c_l N_l / N_l,init (its
// term vanishes as it empties); the total drained, sum of -c_l N_l /
// N_l,init over those levels, goes to the levels with c_l > 0 in proportion
// to c_l. At N = N_init, C = c: a true dark steady state follows the plain
// rate equations; the total population is conserved and the populations
// stay within [0, N_total]. A drained level holding no population cannot be
// compensated: Status::not_stationary.

enum class PulseShape { gaussian, sech2 };

// The experiment's settings.
struct WholeBeamExperiment {
  double wavelength = 0.0;    // m, > 0
  double w0 = 0.0;            // beam waist radius, m, > 0
  double M2 = 0.0;            // beam quality factor, > 0
  double tau = 0.0;           // intensity FWHM of the pulse, s, > 0
  double sample_width = 0.0;  // cm, >= 0
  const double* populations = nullptr;  // [kLevels] initial populations N0..N4, cm^-3, >= 0
  PulseShape pulse_shape = PulseShape::gaussian;
};

// One scan: positions at one pulse energy.
struct WholeBeamScan {
  const double* positions_mm = nullptr;  // [n_points] from the focus, mm
  int n_points = 0;                      // >= 1
  double pulse_energy = 0.0;             // J, >= 0
};

// What a derivative may be taken with respect to: spec_pars[0..7] in their
// own units (cm^2, s), the position of the focus (mm: the values depend on
// z - center, so d/dcenter = -d/dz), the waist w0 (m) and M2.
enum class WholeBeamParameter : int {
  sigma_0 = 0, sigma_1, sigma_2, tau_10, tau_13, tau_21, tau_30, tau_43,
  center_mm, w0, M2,
};
constexpr int kWholeBeamParameters = 11;

// Everything one evaluation computes: all scans of a fit share one table of
// the local transmittance.
struct WholeBeamRequest {
  const WholeBeamScan* scans = nullptr;  // [n_scans]
  int n_scans = 0;                       // >= 1
  double tolerance = 1e-5;  // absolute, on Te / Te_lin; kWholeBeamMinTolerance or more
  // The parameters whose derivatives are wanted, each at most once (none:
  // n_parameters = 0). A lifetime of +inf has none.
  const WholeBeamParameter* parameters = nullptr;  // [n_parameters]
  int n_parameters = 0;
};
constexpr double kWholeBeamMinTolerance = 1e-10;
// The largest linear optical depth (sigma_0 N0 + sigma_1 N1 + sigma_2 N3) L
// the model resolves; beyond it Status::too_thick.
constexpr double kWholeBeamMaxOpticalDepth = 1e6;

// What an evaluation did.
struct WholeBeamStats {
  int table_nodes = 0;             // peak intensities at which Tloc was computed
  int table_intervals = 0;         // intervals of the final table
  int table_rounds = 0;            // batches of nodes
  long long integrations = 0;      // integrator calls
  long long integrator_steps = 0;  // steps of all integrator calls
  int failed_integrations = 0;     // integrator calls that stopped before the pulse's end
  int failed_nodes = 0;            // nodes left without a value (their points are NaN)
  double optical_depth = 0.0;      // the sample's linear optical depth
  // Status::not_stationary: the empty level the compensation would drain,
  // and the lifetimes that would (bit k set: spec_pars[k]).
  int drained_level = -1;
  unsigned drain_lifetimes = 0;
  // Status::left_physics: the level whose population left [0, N_total]
  // furthest, its most extreme value (in units of N_total) and the peak
  // intensity (W/cm^2) of the node where it did.
  int physics_level = -1;
  double physics_population = 0.0;
  double physics_intensity = 0.0;
};

// Where an evaluation writes.
struct WholeBeamOutput {
  double* values = nullptr;  // [total points]
  double* errors = nullptr;  // [total points]
  // [n_parameters * total points]: the derivative of every value with
  // respect to parameters[0], then parameters[1], ...; needed when
  // n_parameters > 0.
  double* derivatives = nullptr;
  WholeBeamStats* stats = nullptr;  // may be null
};

// Te / Te_lin at every point of every scan, scan after scan, with Te_lin =
// exp(-(sigma_0 N0 + sigma_1 N1 + sigma_2 N3) L) the low-energy limit, and
// errors[i] an estimate of |values[i] - exact| covering the depth, time,
// table and transverse discretisations together; at most the tolerance
// unless the model could not reach it (never below a thousandth of it).
// spec_pars as transmittance_model's: cross-sections >= 0, lifetimes > 0
// (+inf: no decay). The derivatives are those of the computed values
// (forward sensitivities through the table and the transverse average),
// the values the same bits with and without them. The table's nodes run on
// the model's worker threads; the results are the same bits for every
// thread count. This thread's interrupt check is consulted between batches
// of nodes and between the nodes this thread computes.
// Returns Status::invalid_input for a null array, counts below 1 or beyond a
// 32-bit total, a tolerance below kWholeBeamMinTolerance, an unknown,
// repeated or infinite parameter, or a value outside the ranges above (NaN
// included); Status::too_thick beyond kWholeBeamMaxOpticalDepth;
// Status::not_stationary when the initial populations cannot be kept
// stationary; Status::left_physics when the populations leave [0, N_total];
// Status::out_of_memory when working storage cannot be obtained or would
// exceed usable_memory_bytes; Status::interrupted when the interrupt check
// asked to stop. On any of them every value and derivative is NaN and every
// error +inf (when the arrays are given). A node the integrator cannot
// complete at any resolution leaves NaN values with +inf errors at the
// points that need it, with Status::ok, counted in stats.
Status whole_beam_evaluate(const WholeBeamExperiment& experiment,
                           const double* spec_pars /*[kSpecPars]*/,
                           const WholeBeamRequest& request, const WholeBeamOutput& output);

// whole_beam_evaluate without derivatives (request.n_parameters must be 0).
Status whole_beam_transmittance(const WholeBeamExperiment& experiment,
                                const double* spec_pars /*[kSpecPars]*/,
                                const WholeBeamRequest& request,
                                double* values /*[total points]*/,
                                double* errors /*[total points]*/,
                                WholeBeamStats* stats);

// ------------------------------------------------------- closed aperture
// The closed-aperture model: the whole-beam model's sample and beam, with
// the sample's instantaneous responses (two-photon absorption beta, cm/W;
// nonlinear index n2, cm^2/W, dn = n2 I) and excited-state refraction
// (sigma_r1, sigma_r3, cm^2: the refractive cross-sections of levels 1 and
// 3 relative to the ground state, dn = (sigma_r1 N1 + sigma_r3 N3) / k),
// and an aperture passing the share S of the linear beam at distance d from
// the focus (the far field by default). At every radius and time the
// sample (thin: no diffraction inside it) changes the incident field
// sqrt(I) exp(i k r^2 / 2R(z)) by
//   dI/dz' = -(s0 N0 + s1 N1 + s2 N3) I - beta f0 I^2,
//   dphi/dz' = k n2 I + sigma_r1 N1 + sigma_r3 N3,
// with the rate equations of the whole-beam model plus two-photon
// excitation beta f0 I^2 / (2 h nu) from level 0 to level 2; f0 = N0 /
// N_total, or 1 when the sample holds no population (a host's two-photon
// absorption, whose populations do not change). The exit field propagates
// freely to the aperture (the Fresnel integral; with M2 != 1 as the
// embedded Gaussian of Rayleigh range z0 = pi w0^2 / (M2 wavelength) does,
// so that the linear far field does not depend on the sample's position;
// the nonlinear phase uses the true k = 2 pi / wavelength). The value is
// T = P / P_lin, P the energy through the aperture over the pulse and P_lin
// the same with beta, n2, sigma_r and every population change switched off;
// S = 1 gives the whole-beam model's open-aperture value.

struct ClosedApertureOptics {
  double beta = 0.0;      // cm/W, >= 0
  double n2 = 0.0;        // cm^2/W
  double sigma_r1 = 0.0;  // cm^2
  double sigma_r3 = 0.0;  // cm^2
};

// One scan: positions at one pulse energy, through one aperture.
struct ClosedApertureScan {
  const double* positions_mm = nullptr;  // [n_points] from the focus, mm
  int n_points = 0;                      // >= 1
  double pulse_energy = 0.0;             // J, >= 0
  double aperture = 1.0;                 // S, the linear beam's share: (0, 1]; 1 open
};

struct ClosedApertureRequest {
  const ClosedApertureScan* scans = nullptr;  // [n_scans]
  int n_scans = 0;                            // >= 1
  // Distance d of the aperture's plane from the focus, m, beyond every
  // position; +inf: the far field at fixed S.
  double aperture_distance = std::numeric_limits<double>::infinity();
  double tolerance = 1e-5;  // absolute, on T; kWholeBeamMinTolerance or more
};

struct ClosedApertureStats {
  int table_nodes = 0;            // peak intensities at which the exit field was computed
  int table_intervals = 0;
  long long integrations = 0;     // integrator calls
  long long integrator_steps = 0;
  int failed_nodes = 0;           // nodes left without a value (their points are NaN)
  int time_nodes = 0;             // times of the pulse at which the field is known
  int largest_modes = 0;          // the most Laguerre modes any point needed
  int attempts = 0;               // tables built (a finer time rule each)
  double optical_depth = 0.0;     // the sample's linear optical depth
  int drained_level = -1;         // as WholeBeamStats
  unsigned drain_lifetimes = 0;
};

struct ClosedApertureOutput {
  double* values = nullptr;  // [total points]
  double* errors = nullptr;  // [total points]
  ClosedApertureStats* stats = nullptr;  // may be null
};

// T at every point of every scan, scan after scan, and errors[i] an
// estimate of |values[i] - exact| from the table, the modes and the time
// rule together (never below a thousandth of the tolerance). The table's
// nodes run on the model's worker threads; the results are the same bits
// for every thread count. Returns Status::invalid_input for a null array,
// counts below 1 or beyond a 32-bit total, a tolerance below
// kWholeBeamMinTolerance, an aperture outside (0, 1], a negative beta, a
// non-finite optical parameter, an aperture distance not beyond every
// position, or a value outside whole_beam_evaluate's ranges;
// Status::too_thick, Status::not_stationary, Status::out_of_memory and
// Status::interrupted as whole_beam_evaluate. On any of them every value is
// NaN and every error +inf.
Status closed_aperture_transmittance(const WholeBeamExperiment& experiment,
                                     const double* spec_pars /*[kSpecPars]*/,
                                     const ClosedApertureOptics& optics,
                                     const ClosedApertureRequest& request,
                                     const ClosedApertureOutput& output);

// ------------------------------------------------------- beam propagation
// The beam-propagation model for thick samples: the closed-aperture model's
// beam, pulse, absorber and optics, but the beam diffracts inside the
// sample while the rate equations run. The sample's front face is at the
// scan position z, its thickness L = sample_width (cm), its linear
// refractive index n0; the field is continuous across the flat front face
// (reflections ignored), so inside the linear beam is the Gaussian of
// parameter n0 q + z' (q = z - i z0, z' the depth): waist w0, Rayleigh range
// n0 z0, focus at the depth -n0 z. In retarded time, at every time t,
//   dE/dz' = (i / (2 K n0)) lap E - (s0 N0 + s1 N1 + s2 N3 + beta f0 I) E / 2
//            + i (k n2 I + sr1 N1 + sr3 N3) E,   I = |E|^2 (W/cm^2),
// K = k / M2, with the whole-beam model's rate equations (its dark
// compensation included) plus two-photon excitation at every (r, z', t).
// Open aperture: T = transmitted energy / (E Te_lin); closed (S < 1): the
// exit field propagated to the aperture as in the closed-aperture model, P /
// P_lin with P_lin the linear sample's.

struct BeamPropagationRequest {
  const ClosedApertureScan* scans = nullptr;  // [n_scans]; positions: the front face
  int n_scans = 0;                            // >= 1
  double refractive_index = 1.0;              // n0, > 0
  // Distance of the aperture's plane from the focus, m, beyond every back
  // face; +inf: the far field at fixed S.
  double aperture_distance = std::numeric_limits<double>::infinity();
  double tolerance = 1e-5;  // absolute, on T; kWholeBeamMinTolerance or more
};

struct BeamPropagationStats {
  long long grids = 0;          // (point, grid) evaluations
  long long panel_solves = 0;   // Radau panel solves of the rate equations
  int largest_radial_nodes = 0; // the most radial nodes of any grid
  int largest_depth_steps = 0;  // the most depth steps
  int largest_time_panels = 0;  // the most time panels
  int refinements = 0;          // grid refinements over all points
  int unconverged_points = 0;   // points whose estimate stayed above the tolerance
  int largest_modes = 0;        // the most Laguerre modes any closed aperture needed
  double optical_depth = 0.0;   // the sample's linear optical depth
  int drained_level = -1;       // as WholeBeamStats
  unsigned drain_lifetimes = 0;
};

struct BeamPropagationOutput {
  double* values = nullptr;  // [total points]
  double* errors = nullptr;  // [total points]
  BeamPropagationStats* stats = nullptr;  // may be null
};

// T at every point of every scan, scan after scan, and errors[i] an
// estimate of |values[i] - exact| from the time, depth and radial
// discretisations and the aperture's modes (never below a thousandth of the
// tolerance); every point refines its own grids until the estimate meets
// the tolerance. The points run on the model's worker threads; the results
// are the same bits for every thread count. Inputs, outcomes and failure
// values as closed_aperture_transmittance, and Status::invalid_input for a
// refractive index not > 0 (or not finite) and an aperture distance not
// beyond every back face.
Status beam_propagation_transmittance(const WholeBeamExperiment& experiment,
                                      const double* spec_pars /*[kSpecPars]*/,
                                      const ClosedApertureOptics& optics,
                                      const BeamPropagationRequest& request,
                                      const BeamPropagationOutput& output);

// Normalisation of one scan's values on its wings, as experimenters
// normalise data: out[i] = values[i] / m with m the mean of the first and
// last kWingPoints values (shared points counted twice when n_points <
// 2 kWingPoints), and out_errors[i] = (errors[i] + |out[i]| e_m) / (m - e_m)
// with e_m the same mean of the errors: a bound on the error of the ratio
// (+inf when m <= e_m). Returns Status::invalid_input for a null array or
// n_points < kWingPoints; out and out_errors may be values and errors.
Status whole_beam_wing_normalise(const double* values, const double* errors, int n_points,
                                 double* out, double* out_errors);

}  // namespace zscan

#endif  // ZSCAN_ZSCAN_H
