// The parts of the extension module zscanfit._core, each adding its names to
// the module. Relies on nanobind.
#ifndef ZSCANFIT_CORE_BINDINGS_H
#define ZSCANFIT_CORE_BINDINGS_H

#include <nanobind/nanobind.h>

namespace zscanfit_core {

// MessageCapture (message_capture.cpp).
void bind_message_capture(nanobind::module_& m);
// scan_transmittance (model_entry.cpp).
void bind_model_entry(nanobind::module_& m);
// whole_beam_transmittance (whole_beam_entry.cpp).
void bind_whole_beam_entry(nanobind::module_& m);
// closed_aperture_transmittance (closed_aperture_entry.cpp).
void bind_closed_aperture_entry(nanobind::module_& m);
// beam_propagation_transmittance (beam_propagation_entry.cpp).
void bind_beam_propagation_entry(nanobind::module_& m);

}  // namespace zscanfit_core

#endif  // ZSCANFIT_CORE_BINDINGS_H
