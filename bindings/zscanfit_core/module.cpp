// The extension module zscanfit._core: the model entry of the zscanfit
// package and the capture of the integrator's messages. Relies on nanobind
// and on the parts declared in bindings.h.
#include <nanobind/nanobind.h>

#include "zscanfit_core/bindings.h"

NB_MODULE(_core, m) {
  m.doc() =
      "Compiled part of zscanfit: the z-scan models at given parameters "
      "(scan_transmittance, the on-axis model; whole_beam_transmittance, the whole-beam "
      "model; closed_aperture_transmittance, the closed-aperture model; beam_propagation_transmittance, the "
      "beam-propagation model for thick samples) and the capture of the integrator's messages "
      "(MessageCapture). Shares its model and integrator with kesp_wrapper.";
  // A daemon thread still evaluating when the interpreter exits keeps its
  // arguments for good (it never comes back, see
  // bindings_common/without_interpreter_lock.h): that is
  // no leak worth a report on standard error at every such exit.
  nanobind::set_leak_warnings(false);
  zscanfit_core::bind_message_capture(m);
  zscanfit_core::bind_model_entry(m);
  zscanfit_core::bind_whole_beam_entry(m);
  zscanfit_core::bind_closed_aperture_entry(m);
  zscanfit_core::bind_beam_propagation_entry(m);
}
