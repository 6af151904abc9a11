// The fit core's preconditions and their messages. Relies on the per-call
// record and the module's message table.
#include "preconditions.h"

#include <climits>

#include "messages.h"

namespace kesp {

int check_core_preconditions(const Call& c) {
  const Scalars& s = c.s;
  if (s.num_x_pts < 5) {
    PyErr_Format(PyExc_ValueError, msg::kTooFewPoints, s.num_x_pts);
    return -1;
  }
  if (s.num_datasets < 1) {
    PyErr_Format(PyExc_ValueError, msg::kTooFewDatasets, s.num_datasets);
    return -1;
  }
  const long long points = static_cast<long long>(s.num_x_pts) * s.num_datasets;
  if (points > INT_MAX) {
    PyErr_Format(PyExc_ValueError, msg::kTooManyPoints, s.num_x_pts, s.num_datasets);
    return -1;
  }
  const int n_points = static_cast<int>(points);
  if (c.length(kXData) != n_points) {
    PyErr_Format(PyExc_ValueError, msg::kXDataLength, n_points, c.length(kXData));
    return -1;
  }
  if (c.length(kYData) != n_points) {
    PyErr_Format(PyExc_ValueError, msg::kYDataLength, n_points, c.length(kYData));
    return -1;
  }
  if (c.length(kPulseEnergy) < s.num_datasets) {
    PyErr_Format(PyExc_ValueError, msg::kPulseEnergyLength, s.num_datasets,
                 c.length(kPulseEnergy));
    return -1;
  }
  if (c.length(kSpecPars) < 8) {
    PyErr_Format(PyExc_ValueError, msg::kSpecParsLength, c.length(kSpecPars));
    return -1;
  }
  if (c.length(kPopulations) < 5) {
    PyErr_Format(PyExc_ValueError, msg::kPopulationsLength, c.length(kPopulations));
    return -1;
  }
  if (c.length(kPopulations) > INT_MAX) {
    PyErr_Format(PyExc_ValueError, msg::kPopulationsTooLong, c.length(kPopulations));
    return -1;
  }
  if (s.t_slices < 2) {
    PyErr_Format(PyExc_ValueError, msg::kTooFewTimeSlices, s.t_slices);
    return -1;
  }
  if (s.z_slices < 2) {
    PyErr_Format(PyExc_ValueError, msg::kTooFewDepthSlices, s.z_slices);
    return -1;
  }
  if (c.length(kFitIndices) > n_points) {
    PyErr_Format(PyExc_ValueError, msg::kTooManyFitted, n_points, c.length(kFitIndices));
    return -1;
  }
  if (s.wavelength == 0.0) {
    PyErr_SetString(PyExc_ValueError, msg::kZeroWavelength);
    return -1;
  }
  if (s.M2 == 0.0) {
    PyErr_SetString(PyExc_ValueError, msg::kZeroM2);
    return -1;
  }
  return 0;
}

}  // namespace kesp
