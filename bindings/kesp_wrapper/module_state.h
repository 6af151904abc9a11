// The module's process-wide state: the names of fit_zscan's parameters and of
// the NumPy attributes it uses, and the objects module initialisation makes
// once (module_init.cpp) and every call of fit_zscan only reads. One
// interpreter per process is enforced by the create slot. Relies on the
// CPython C API.
#ifndef KESP_WRAPPER_MODULE_STATE_H
#define KESP_WRAPPER_MODULE_STATE_H

#include <Python.h>

#include <cstdint>

namespace kesp {

constexpr char kModuleName[] = "kesp_wrapper";
constexpr char kFunctionName[] = "fit_zscan";

// Parameters of fit_zscan, in positional order.
enum Param {
  kXData, kYData, kPopulations, kTSlices, kZSlices, kSampleWidth, kTau,
  kWavelength, kW0, kM2, kPulseEnergy, kSpecPars, kFitIndices, kNumXPts,
  kNumDatasets, kIsSa, kNStarts, kNumParams
};
constexpr int kNumRequired = 15;
inline constexpr const char* kParamNames[kNumParams] = {
    "x_data", "y_data", "populations", "t_slices", "z_slices", "sample_width",
    "tau", "wavelength", "w0", "M2", "pulse_energy", "spec_pars",
    "fit_indices", "num_x_pts", "num_datasets", "is_sa", "n_starts"};

// NumPy names used at run time.
enum NumpyName { kAsarray, kArgmax, kArgmin, kTile, kZeros, kArray, kFloat64,
                 kDtype, kNumNumpyNames };
inline constexpr const char* kNumpyNames[kNumNumpyNames] = {
    "asarray", "argmax", "argmin", "tile", "zeros", "array", "float64", "dtype"};

struct ModuleState {
  int64_t interpreter_id = -1;     // first interpreter that created the module
  PyObject* module = nullptr;      // the one initialised module
  PyObject* module_dict = nullptr;
  PyObject* builtins_dict = nullptr;
  int runtime_major = -1;          // interpreter version, read once
  int runtime_minor = -1;
  PyObject* param_names[kNumParams] = {};   // interned, by Param
  PyObject* numpy_names[kNumNumpyNames] = {};  // interned, by NumpyName
  PyObject* str_np = nullptr;
  PyObject* str_module_name = nullptr;
  PyObject* str_function_name = nullptr;
  PyObject* int_one = nullptr;
  PyObject* function_type = nullptr;
  PyObject* fit_zscan = nullptr;
};
// The one instance, written only under the interpreter lock during import.
extern ModuleState g;

}  // namespace kesp

#endif  // KESP_WRAPPER_MODULE_STATE_H
