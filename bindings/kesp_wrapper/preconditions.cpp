// The fit core's preconditions (zscan::check_fit_inputs) and the message of
// each. Relies on the per-call record, the fit core's public header and the
// module's message table.
#include "preconditions.h"

#include "messages.h"
#include "zscan/zscan.h"

namespace kesp {
namespace {

// The counts that msg's precondition texts name.
static_assert(zscan::kMinPoints == 5 && zscan::kLevels == 5 && zscan::kSpecPars == 8 &&
                  zscan::kMinSlices == 2,
              "the precondition messages name these limits");

// The shape of the call as the core will see it, core_indices included.
zscan::FitShape fit_shape(const Call& c) {
  zscan::FitShape shape;
  shape.x_length = c.length(kXData);
  shape.y_length = c.length(kYData);
  shape.pulse_energy_length = c.length(kPulseEnergy);
  shape.spec_pars_length = c.length(kSpecPars);
  shape.populations_length = c.length(kPopulations);
  shape.num_x_pts = c.s.num_x_pts;
  shape.num_datasets = c.s.num_datasets;
  shape.t_slices = c.s.t_slices;
  shape.z_slices = c.s.z_slices;
  shape.n_fit = c.length(kFitIndices);
  shape.wavelength = c.s.wavelength;
  shape.M2 = c.s.M2;
  shape.fit_indices = c.table_ints(kCoreIndices);
  shape.n_indices = c.length(kFitIndices);
  return shape;
}

}  // namespace

int check_core_preconditions(const Call& c) {
  const Scalars& s = c.s;
  // Named only by rules checked after the point count fits in an int.
  const auto points = [&s] {
    return static_cast<int>(static_cast<long long>(s.num_x_pts) * s.num_datasets);
  };
  switch (zscan::check_fit_inputs(fit_shape(c))) {
    case zscan::InputRule::ok:
      return 0;
    case zscan::InputRule::too_few_points:
      PyErr_Format(PyExc_ValueError, msg::kTooFewPoints, s.num_x_pts);
      break;
    case zscan::InputRule::too_few_datasets:
      PyErr_Format(PyExc_ValueError, msg::kTooFewDatasets, s.num_datasets);
      break;
    case zscan::InputRule::too_many_points:
      PyErr_Format(PyExc_ValueError, msg::kTooManyPoints, s.num_x_pts, s.num_datasets);
      break;
    case zscan::InputRule::x_length:
      PyErr_Format(PyExc_ValueError, msg::kXDataLength, points(), c.length(kXData));
      break;
    case zscan::InputRule::y_length:
      PyErr_Format(PyExc_ValueError, msg::kYDataLength, points(), c.length(kYData));
      break;
    case zscan::InputRule::pulse_energy_length:
      PyErr_Format(PyExc_ValueError, msg::kPulseEnergyLength, s.num_datasets,
                   c.length(kPulseEnergy));
      break;
    case zscan::InputRule::spec_pars_length:
      PyErr_Format(PyExc_ValueError, msg::kSpecParsLength, c.length(kSpecPars));
      break;
    case zscan::InputRule::populations_length:
      PyErr_Format(PyExc_ValueError, msg::kPopulationsLength, c.length(kPopulations));
      break;
    case zscan::InputRule::populations_too_long:
      PyErr_Format(PyExc_ValueError, msg::kPopulationsTooLong, c.length(kPopulations));
      break;
    case zscan::InputRule::too_few_time_slices:
      PyErr_Format(PyExc_ValueError, msg::kTooFewTimeSlices, s.t_slices);
      break;
    case zscan::InputRule::too_few_depth_slices:
      PyErr_Format(PyExc_ValueError, msg::kTooFewDepthSlices, s.z_slices);
      break;
    case zscan::InputRule::too_many_fitted:
      PyErr_Format(PyExc_ValueError, msg::kTooManyFitted, points(), c.length(kFitIndices));
      break;
    case zscan::InputRule::zero_wavelength:
      PyErr_SetString(PyExc_ValueError, msg::kZeroWavelength);
      break;
    case zscan::InputRule::zero_M2:
      PyErr_SetString(PyExc_ValueError, msg::kZeroM2);
      break;
    case zscan::InputRule::fit_index_out_of_range:
      // fit_indices passed their check, so only an `np` that is not NumPy
      // can have made these core indices; the core would refuse the first
      // start.
      PyErr_Format(PyExc_SystemError, msg::kFitCoreRefused, 0);
      break;
  }
  return -1;
}

}  // namespace kesp
