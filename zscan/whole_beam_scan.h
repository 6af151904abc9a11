// The scans of a whole-beam evaluation from the table: each point's peak
// intensity, the beam average of the local transmittance up to it, and the
// derivatives of that average.
#ifndef ZSCAN_WHOLE_BEAM_SCAN_H
#define ZSCAN_WHOLE_BEAM_SCAN_H

#include "zscan/whole_beam_table.h"
#include "zscan/zscan.h"

namespace zscan {

// The largest peak intensity of any point of the request (W/cm^2).
double largest_peak_intensity(const WholeBeamExperiment& experiment,
                              const WholeBeamRequest& request);

// Where each requested derivative comes from: slot[k] >= 0 is the table's
// derivative of that index (a spectroscopic parameter); -1 a setting of the
// beam, through the peak intensity.
struct DerivativeSlots {
  int slot[kWholeBeamParameters] = {};
};

// Te / Te_lin, its error bound and its derivatives at every point, scan
// after scan, from the table (which covers the largest peak intensity); the
// error is never below `error_floor`.
void scan_values(const WholeBeamExperiment& experiment, const WholeBeamRequest& request,
                 const Table& table, const DerivativeSlots& slots, double error_floor,
                 const WholeBeamOutput& output);

}  // namespace zscan

#endif  // ZSCAN_WHOLE_BEAM_SCAN_H
