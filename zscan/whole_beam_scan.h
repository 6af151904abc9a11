// The scans of a whole-beam evaluation from the table: each point's peak
// intensity and the beam average of the local transmittance up to it.
#ifndef ZSCAN_WHOLE_BEAM_SCAN_H
#define ZSCAN_WHOLE_BEAM_SCAN_H

#include "zscan/whole_beam_table.h"
#include "zscan/zscan.h"

namespace zscan {

// The largest peak intensity of any point of the request (W/cm^2).
double largest_peak_intensity(const WholeBeamExperiment& experiment,
                              const WholeBeamRequest& request);

// Te / Te_lin and its error bound at every point, scan after scan, from the
// table (which covers the largest peak intensity); the error is never below
// `error_floor`.
void scan_values(const WholeBeamExperiment& experiment, const WholeBeamRequest& request,
                 const Table& table, double error_floor, double* values, double* errors);

}  // namespace zscan

#endif  // ZSCAN_WHOLE_BEAM_SCAN_H
