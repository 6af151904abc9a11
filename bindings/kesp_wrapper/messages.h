// Every text the kesp_wrapper module raises or warns with, as printf-style
// formats for PyErr_Format and PyErr_WarnFormat. Tests compare against them
// verbatim, so they live here and nowhere else. Relies on nothing.
#ifndef KESP_WRAPPER_MESSAGES_H
#define KESP_WRAPPER_MESSAGES_H

namespace kesp::msg {

// Import.
constexpr char kInterpreterChange[] =
    "Interpreter change detected - this module can only be loaded into one "
    "interpreter per process.";
constexpr char kReinitialisation[] =
    "Module 'kesp_wrapper' has already been imported. Re-initialisation is "
    "not supported.";
constexpr char kVersionMismatch[] =
    "compile time Python version %d.%d of module '%.100s' %s runtime version "
    "%d.%d";
constexpr char kDoesNotMatch[] = "does not match";
constexpr char kNotATypeObject[] = "%.200s.%.200s is not a type object";
constexpr char kSizeChanged[] =
    "%.200s.%.200s size changed, may indicate binary incompatibility. "
    "Expected %zd from C header, got %zd from PyObject";
constexpr char kNumpyImportFailed[] = "numpy._core.multiarray failed to import";
constexpr char kInitFailed[] = "init kesp_wrapper";
// The file name of the traceback entry added to a failed initialisation.
constexpr char kTracebackFile[] = "kesp_wrapper.cpp";

// Binding.
constexpr char kArgumentCount[] =
    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
constexpr char kAtMost[] = "at most";
constexpr char kAtLeast[] = "at least";
constexpr char kUnexpectedKeyword[] =
    "%s() got an unexpected keyword argument '%U'";
constexpr char kMultipleValues[] =
    "%s() got multiple values for keyword argument '%U'";
constexpr char kKeywordsMustBeStrings[] = "%.200s() keywords must be strings";

// Conversion.
constexpr char kIntegerRequired[] = "an integer is required";
constexpr char kIntReturnedNonInt[] = "__int__ returned non-int (type %.200s)";
constexpr char kIntTooLarge[] = "Python int too large to convert to C int";
constexpr char kMustNotBeNone[] = "Argument '%.200s' must not be None";
constexpr char kWrongDimensions[] =
    "Buffer has wrong number of dimensions (expected %d, got %d)";
constexpr char kDtypeMismatch[] = "Buffer dtype mismatch, expected %s%s%s but got %s";
constexpr char kItemSize[] =
    "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)";
constexpr char kBigEndian[] = "Big-endian buffer not supported on little-endian compiler";
constexpr char kNotContiguousSameDimension[] =
    "Buffer and memoryview are not contiguous in the same dimension.";
constexpr char kNotCContiguous[] = "Buffer not C contiguous.";

// Checks of the call.
constexpr char kFitIndexOutOfRange[] = "fit_indices[%zd]=%d out of range [0,7]";
constexpr char kOutOfBounds[] = "Out of bounds on buffer access (axis %d)";
constexpr char kNameNotDefined[] = "name '%U' is not defined";

// Preconditions of the fit core, checked just before its first call.
constexpr char kTooFewPoints[] = "num_x_pts must be at least 5 (got %d)";
constexpr char kTooFewDatasets[] = "num_datasets must be at least 1 (got %d)";
constexpr char kTooManyPoints[] =
    "num_x_pts * num_datasets must fit in a 32-bit signed integer (got %d * %d)";
constexpr char kXDataLength[] =
    "len(x_data) must equal num_x_pts * num_datasets = %d (got %zd)";
constexpr char kYDataLength[] =
    "len(y_data) must equal num_x_pts * num_datasets = %d (got %zd)";
constexpr char kPulseEnergyLength[] =
    "len(pulse_energy) must be at least num_datasets = %d (got %zd)";
constexpr char kSpecParsLength[] = "len(spec_pars) must be at least 8 (got %zd)";
constexpr char kPopulationsLength[] = "len(populations) must be at least 5 (got %zd)";
constexpr char kPopulationsTooLong[] =
    "len(populations) must fit in a 32-bit signed integer (got %zd)";
constexpr char kTooFewTimeSlices[] = "t_slices must be at least 2 (got %d)";
constexpr char kTooFewDepthSlices[] = "z_slices must be at least 2 (got %d)";
constexpr char kTooManyFitted[] =
    "len(fit_indices) must not exceed the number of points %d (got %zd)";
constexpr char kZeroWavelength[] = "wavelength must be non-zero";
constexpr char kZeroM2[] = "M2 must be non-zero";

// Memory.
constexpr char kTablesTooLarge[] =
    "fit_zscan needs %llu bytes for the tables of %d starts and %zd points, "
    "more than the %llu bytes of memory this process may use";
constexpr char kFitOutOfMemory[] =
    "not enough memory for the working storage of the fit (%d points, "
    "t_slices=%d, z_slices=%d)";
constexpr char kFitCoreRefused[] =
    "the fit core failed start %d on arguments that passed every check";

}  // namespace kesp::msg

#endif  // KESP_WRAPPER_MESSAGES_H
