// The layout checks made at import: the built-in `type` and fifteen NumPy
// types must be types at least as large as the structures in the headers the
// module is built against; some warn when they have grown. Relies on the
// CPython C API and on NumPy's C headers (structure sizes only).
#ifndef KESP_WRAPPER_TYPE_CHECKS_H
#define KESP_WRAPPER_TYPE_CHECKS_H

namespace kesp {

// Imports builtins and numpy and checks their types, in order; the first
// failure stops with TypeError, ValueError, or a RuntimeWarning turned error.
int check_types();

}  // namespace kesp

#endif  // KESP_WRAPPER_TYPE_CHECKS_H
