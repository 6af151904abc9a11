// Every message text of zscanfit._core, in one place, so that tests can
// compare them exactly. Texts with %-fields are formatted with the values
// named beside them.
#ifndef ZSCANFIT_CORE_MESSAGES_H
#define ZSCANFIT_CORE_MESSAGES_H

namespace zscanfit_core {
namespace msg {

// MessageCapture.
constexpr const char* kKeepNegative = "MessageCapture: keep must be >= 0, got %lld";
constexpr const char* kNotEntered =
    "MessageCapture: __exit__ without a matching __enter__ on this thread";
constexpr const char* kExitOutOfOrder =
    "MessageCapture: exited while a capture entered after it on this thread is still active; "
    "leave nested captures innermost first";

// scan_transmittance: the rules its arguments must satisfy, in the order
// they are checked, and the outcomes of the computation.
constexpr const char* kNoPositions =
    "scan_transmittance: positions is empty; give at least one scan position (mm)";
constexpr const char* kTooManyPoints =
    "scan_transmittance: %s has %zu entries; at most 2147483647 are supported";
constexpr const char* kTooFewWingPoints =
    "scan_transmittance: wing_positions has %zu entries; the normalisation needs the "
    "measured scan's positions, at least %d";
constexpr const char* kSpecParsLength =
    "scan_transmittance: spec_pars has %zu entries; give the %d spectroscopic parameters "
    "(sigma_0, sigma_1, sigma_2, tau_10, tau_13, tau_21, tau_30, tau_43)";
constexpr const char* kPopulationsLength =
    "scan_transmittance: populations has %zu entries; give the %d initial populations N0..N4 "
    "(cm^-3)";
constexpr const char* kTooFewSlices = "scan_transmittance: %s must be >= %d, got %d";
constexpr const char* kZeroSetting = "scan_transmittance: %s must not be 0";
constexpr const char* kNanSetting = "scan_transmittance: %s is NaN";
constexpr const char* kNanEntry = "scan_transmittance: %s[%zu] is NaN";
constexpr const char* kRefused = "scan_transmittance: the model refused its inputs";
constexpr const char* kOutOfMemory =
    "scan_transmittance: the working storage for %zu points with %d time slices and %d slabs "
    "cannot be obtained within the memory this process may use";
constexpr const char* kStoppedWithoutException =
    "scan_transmittance: the computation was stopped without a pending exception";

// whole_beam_transmittance.
constexpr const char* kWholeBeamNoScans =
    "whole_beam_transmittance: counts is empty; give the number of positions of every scan";
constexpr const char* kWholeBeamEnergies =
    "whole_beam_transmittance: pulse_energies must have one value per scan (len(counts))";
constexpr const char* kWholeBeamSpecPars =
    "whole_beam_transmittance: spec_pars must have the 8 spectroscopic parameters "
    "(sigma_0, sigma_1, sigma_2, tau_10, tau_13, tau_21, tau_30, tau_43)";
constexpr const char* kWholeBeamPopulations =
    "whole_beam_transmittance: populations must have the 5 initial populations N0..N4 "
    "(cm^-3)";
constexpr const char* kWholeBeamTooMany =
    "whole_beam_transmittance: at most 2147483647 positions are supported";
constexpr const char* kWholeBeamEmptyScan =
    "whole_beam_transmittance: every scan needs at least one position (counts >= 1)";
constexpr const char* kWholeBeamCounts =
    "whole_beam_transmittance: the counts must add up to len(positions)";
constexpr const char* kWholeBeamRefused =
    "whole_beam_transmittance: the model refused its inputs (a NaN, a negative or zero "
    "setting where a positive one is needed, a negative cross-section or a lifetime that is "
    "not positive, or a tolerance below 1e-10)";
constexpr const char* kWholeBeamOutOfMemory =
    "whole_beam_transmittance: the working storage for %zu points cannot be obtained within "
    "the memory this process may use";
constexpr const char* kWholeBeamStopped =
    "whole_beam_transmittance: the computation was stopped without a pending exception";
constexpr const char* kWholeBeamPulseShape =
    "whole_beam_transmittance: pulse_shape must be 'gaussian' or 'sech2', got %s";
constexpr const char* kWholeBeamDerivativeType =
    "whole_beam_transmittance: derivatives must be parameter names or ids; entry %zu is neither";
constexpr const char* kWholeBeamUnknownParameter =
    "whole_beam_transmittance: no derivative with respect to %s; give names from sigma_0, "
    "sigma_1, sigma_2, tau_10, tau_13, tau_21, tau_30, tau_43, center_mm, w0, M2 (or their "
    "positions 0 to 10)";
constexpr const char* kWholeBeamRepeatedParameter =
    "whole_beam_transmittance: the derivative with respect to %s is asked for twice";
constexpr const char* kWholeBeamInfiniteLifetime =
    "whole_beam_transmittance: %s is infinite (no decay), a fixed setting without a "
    "derivative; ask for the derivatives of finite lifetimes only";
constexpr const char* kWholeBeamTooThick =
    "whole_beam_transmittance: the sample's linear optical depth (sigma_0 N0 + sigma_1 N1 + "
    "sigma_2 N3) L is %.6g, beyond %.6g, the most the model resolves; no light to speak of "
    "crosses such a sample";
constexpr const char* kWholeBeamNotStationary =
    "whole_beam_transmittance: level %d holds no population but the stationarity of the "
    "populated levels would drain it (%s); give it some population, or make %s infinite";
constexpr const char* kWholeBeamLeftPhysics =
    "whole_beam_transmittance: the model left physics: the population of level %d reached "
    "%.6g of the total at a peak intensity of %.6g W/cm^2, beyond what the integration's "
    "accuracy explains; no value is returned";

// closed_aperture_transmittance.
constexpr const char* kClosedNoScans =
    "closed_aperture_transmittance: counts is empty; give the number of positions of every scan";
constexpr const char* kClosedPerScan =
    "closed_aperture_transmittance: pulse_energies and apertures must have one value per scan "
    "(len(counts))";
constexpr const char* kClosedSpecPars =
    "closed_aperture_transmittance: spec_pars must have the 8 spectroscopic parameters "
    "(sigma_0, sigma_1, sigma_2, tau_10, tau_13, tau_21, tau_30, tau_43)";
constexpr const char* kClosedPopulations =
    "closed_aperture_transmittance: populations must have the 5 initial populations N0..N4 "
    "(cm^-3)";
constexpr const char* kClosedTooMany =
    "closed_aperture_transmittance: at most 2147483647 positions are supported";
constexpr const char* kClosedCounts =
    "closed_aperture_transmittance: every scan needs at least one position and the counts "
    "must add up to len(positions)";
constexpr const char* kClosedPulseShape =
    "closed_aperture_transmittance: pulse_shape must be 'gaussian' or 'sech2', got %s";
constexpr const char* kClosedRefused =
    "closed_aperture_transmittance: the model refused its inputs (a NaN, a negative or zero "
    "setting where a positive one is needed, a negative cross-section or beta, a lifetime that "
    "is not positive, an aperture outside (0, 1], an aperture distance not beyond every "
    "position, or a tolerance below 1e-10)";
constexpr const char* kClosedTooThick =
    "closed_aperture_transmittance: the sample's linear optical depth is %.6g, beyond %.6g, "
    "the most the model resolves";
constexpr const char* kClosedNotStationary =
    "closed_aperture_transmittance: level %d holds no population but the stationarity of the "
    "populated levels would drain it; give it some population, or make the lifetimes that "
    "drain it infinite";
constexpr const char* kClosedOutOfMemory =
    "closed_aperture_transmittance: the working storage for %zu points cannot be obtained "
    "within the memory this process may use";
constexpr const char* kClosedStopped =
    "closed_aperture_transmittance: the computation was stopped without a pending exception";

// beam_propagation_transmittance.
constexpr const char* kPropagationNoScans =
    "beam_propagation_transmittance: counts is empty; give the number of positions of every "
    "scan";
constexpr const char* kPropagationPerScan =
    "beam_propagation_transmittance: pulse_energies and apertures must have one value per scan "
    "(len(counts))";
constexpr const char* kPropagationSpecPars =
    "beam_propagation_transmittance: spec_pars must have the 8 spectroscopic parameters "
    "(sigma_0, sigma_1, sigma_2, tau_10, tau_13, tau_21, tau_30, tau_43)";
constexpr const char* kPropagationPopulations =
    "beam_propagation_transmittance: populations must have the 5 initial populations N0..N4 "
    "(cm^-3)";
constexpr const char* kPropagationTooMany =
    "beam_propagation_transmittance: at most 2147483647 positions are supported";
constexpr const char* kPropagationCounts =
    "beam_propagation_transmittance: every scan needs at least one position and the counts "
    "must add up to len(positions)";
constexpr const char* kPropagationPulseShape =
    "beam_propagation_transmittance: pulse_shape must be 'gaussian' or 'sech2', got %s";
constexpr const char* kPropagationRefused =
    "beam_propagation_transmittance: the model refused its inputs (a NaN, a negative or zero "
    "setting where a positive one is needed, a refractive index not > 0, a negative "
    "cross-section or beta, a lifetime that is not positive, an aperture outside (0, 1], an "
    "aperture distance not beyond every back face of the sample, or a tolerance below 1e-10)";
constexpr const char* kPropagationTooThick =
    "beam_propagation_transmittance: the sample's linear optical depth is %.6g, beyond %.6g, "
    "the most the model resolves";
constexpr const char* kPropagationNotStationary =
    "beam_propagation_transmittance: level %d holds no population but the stationarity of the "
    "populated levels would drain it; give it some population, or make the lifetimes that "
    "drain it infinite";
constexpr const char* kPropagationOutOfMemory =
    "beam_propagation_transmittance: the working storage for %zu points cannot be obtained "
    "within the memory this process may use";
constexpr const char* kPropagationStopped =
    "beam_propagation_transmittance: the computation was stopped without a pending exception";

}  // namespace msg
}  // namespace zscanfit_core

#endif  // ZSCANFIT_CORE_MESSAGES_H
