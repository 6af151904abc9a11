# fit_zscan's argument handling: binding, conversion, buffer checks, the
# order in which the checks run, fit_indices, and the preconditions of the fit
# core that are rejected before its first call. Relies on the installed module.
import array

import numpy as np
import pytest

import kesp_wrapper
from conftest import PARAM_NAMES, X11, IndexOnly, call_args, fit, positional

fit_zscan = kesp_wrapper.fit_zscan


def raises(error, text, **overrides):
    """Calls with one valid set of arguments changed; checks the exception."""
    with pytest.raises(error) as info:
        fit(**overrides)
    if text is not None:
        assert str(info.value) == text
    return info.value


def out_of_bounds(axis):
    return f"Out of bounds on buffer access (axis {axis})"


class IntGivesFloat:
    def __int__(self):
        return 2.0


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("truth")


# ---------------------------------------------------------------- binding

def test_binding_messages():
    args = call_args()
    pos = positional(args)
    missing_t_slices = {name: args[name] for name in PARAM_NAMES[4:15]}
    cases = [
        ((), {}, "fit_zscan() takes at least 15 positional arguments (0 given)"),
        (pos + [0], {}, "fit_zscan() takes at most 17 positional arguments (18 given)"),
        (pos[:14], {}, "fit_zscan() takes at least 15 positional arguments (14 given)"),
        (pos[:3], missing_t_slices,
         "fit_zscan() takes at least 15 positional arguments (3 given)"),
        (pos[:15], {"x_data": pos[0]},
         "fit_zscan() got multiple values for keyword argument 'x_data'"),
        (pos[:15], {"isSA": True}, "fit_zscan() got an unexpected keyword argument 'isSA'"),
        (pos[:15], {1: True}, "fit_zscan() keywords must be strings"),
        # A misspelt keyword is named even though a required one is missing.
        ((), {"x_dat": pos[0]}, "fit_zscan() got an unexpected keyword argument 'x_dat'"),
    ]
    for positional_args, keywords, text in cases:
        with pytest.raises(TypeError) as info:
            fit_zscan(*positional_args, **keywords)
        assert str(info.value) == text


def test_every_parameter_binds_by_position_or_keyword():
    args = call_args()
    pos = positional(args)
    by_keyword = fit_zscan(**args)
    by_position = fit_zscan(*pos)
    mixed = fit_zscan(*pos[:6], **{name: args[name] for name in PARAM_NAMES[6:]})
    for result in (by_position, mixed):
        assert np.array_equal(result[0], by_keyword[0]) and result[1] == by_keyword[1]
        assert np.array_equal(result[2], by_keyword[2])


# ---------------------------------------------------------------- conversion

@pytest.mark.parametrize("name, value, error, text", [
    ("t_slices", "2", TypeError, "an integer is required"),
    ("n_starts", None, TypeError, "an integer is required"),
    ("z_slices", IndexOnly(2), TypeError, "an integer is required"),
    ("t_slices", IntGivesFloat(), TypeError, "__int__ returned non-int (type float)"),
    ("num_x_pts", 2**31, OverflowError, "Python int too large to convert to C int"),
    ("num_datasets", -2**31 - 1, OverflowError, "Python int too large to convert to C int"),
    ("sample_width", "0.1", TypeError, None),
    ("tau", 10**400, OverflowError, None),
    ("is_sa", BadTruth(), ZeroDivisionError, "truth"),
])
def test_unconvertible_scalars(name, value, error, text):
    raises(error, text, **{name: value})


@pytest.mark.parametrize("name, value, text", [
    # Integers through __int__: floats are truncated toward zero.
    ("t_slices", 1.9, "t_slices must be at least 2 (got 1)"),
    ("z_slices", -1.5, "z_slices must be at least 2 (got -1)"),
    ("num_x_pts", np.int64(3), "num_x_pts must be at least 5 (got 3)"),
    ("num_datasets", False, "num_datasets must be at least 1 (got 0)"),
    # Floats through the float conversion: ints and __index__ objects.
    ("wavelength", 0, "wavelength must be non-zero"),
    ("M2", IndexOnly(0), "M2 must be non-zero"),
])
def test_scalars_are_converted(name, value, text):
    raises(ValueError, text, **{name: value})


# ---------------------------------------------------------------- buffers

@pytest.mark.parametrize("name, value, text", [
    ("x_data", X11.astype(np.float32),
     "Buffer dtype mismatch, expected 'double' but got 'float'"),
    ("fit_indices", np.array([7], np.int64),
     "Buffer dtype mismatch, expected 'int' but got 'long'"),
    ("fit_indices", np.array([7], np.longlong),
     "Buffer dtype mismatch, expected 'int' but got 'long long'"),
    ("fit_indices", np.array([7], np.uint32),
     "Buffer dtype mismatch, expected 'int' but got 'unsigned int'"),
    ("populations", np.zeros(5, np.uint8),
     "Buffer dtype mismatch, expected 'double' but got 'unsigned char'"),
    ("pulse_energy", np.zeros(1, np.complex128),
     "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
    ("spec_pars", np.zeros(8, [("a", "f8"), ("b", "f8")]),
     "Buffer dtype mismatch, expected 'double' but got a struct"),
    ("spec_pars", np.zeros(8, ">f8"), "Big-endian buffer not supported on little-endian compiler"),
    ("y_data", np.ones((11, 1)), "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ("fit_indices", np.array(7, np.int32),
     "Buffer has wrong number of dimensions (expected 1, got 0)"),
])
def test_buffer_checks(name, value, text):
    raises(ValueError, text, **{name: value})


def test_buffers_that_cannot_be_exported_as_requested():
    read_only = X11.copy()
    read_only.flags.writeable = False
    raises(ValueError, None, x_data=read_only)
    raises(ValueError, None, y_data=np.ones(22)[::2])
    raises(BufferError, None, fit_indices=bytes(4))
    with pytest.raises(TypeError):
        fit_zscan(**dict(call_args(), populations=[3e17, 0.0, 0.0, 0.0, 0.0]))


def test_any_writable_buffer_is_accepted():
    args = call_args()
    expected = fit_zscan(**args)
    for name in ("x_data", "y_data", "populations", "pulse_energy", "spec_pars"):
        args[name] = array.array("d", args[name])
    args["fit_indices"] = array.array("i", args["fit_indices"])
    result = fit_zscan(**args)
    assert np.array_equal(result[0], expected[0]) and np.array_equal(result[2], expected[2])


@pytest.mark.parametrize("name", ["x_data", "y_data", "populations", "pulse_energy",
                                  "spec_pars", "fit_indices"])
def test_none_arrays_are_rejected(name):
    raises(TypeError, f"Argument '{name}' must not be None", **{name: None})


# ---------------------------------------------------------------- order of checks

def test_all_conversions_come_before_the_none_checks():
    raises(TypeError, "an integer is required", x_data=None, t_slices="4")
    raises(TypeError, "Argument 'populations' must not be None",
           populations=None, pulse_energy=None, fit_indices=None)


def test_fit_indices_are_checked_in_order_before_the_centring():
    raises(ValueError, "fit_indices[1]=9 out of range [0,7]", fit_indices=(0, 9, -1))
    raises(ValueError, "fit_indices[0]=-1 out of range [0,7]", fit_indices=(-1,))
    raises(ValueError, "fit_indices[0]=8 out of range [0,7]", y_data=(), fit_indices=(8,))
    # With valid indices the empty y_data reaches NumPy's argmin.
    raises(ValueError, "attempt to get argmin of an empty sequence", y_data=())
    fit(fit_indices=(7, 7))


def test_index_errors_come_before_the_core_preconditions():
    # The extremum of y_data (index 5) lies beyond the end of x_data.
    raises(IndexError, out_of_bounds(0), x_data=X11[:4])
    # A fitted index beyond the end of spec_pars.
    raises(IndexError, out_of_bounds(0), spec_pars=(1e-17, 4e-17, 0.0), fit_indices=(5,))
    # No starts: nothing is run, there is no best start.
    raises(IndexError, out_of_bounds(0), n_starts=0, num_x_pts=1)
    # Empty arrays handed to the core; the rows of the tables are axis 1.
    raises(IndexError, out_of_bounds(0), populations=(), num_x_pts=12)
    raises(IndexError, out_of_bounds(0), pulse_energy=(), num_x_pts=12)
    raises(IndexError, out_of_bounds(0), fit_indices=(), num_x_pts=12)
    raises(IndexError, out_of_bounds(1), spec_pars=(), fit_indices=(), num_x_pts=12)
    # A negative number of starts fails in NumPy while the tables are made.
    raises(ValueError, None, n_starts=-1)


# ---------------------------------------------------------------- preconditions

@pytest.mark.parametrize("overrides, text", [
    (dict(num_x_pts=4), "num_x_pts must be at least 5 (got 4)"),
    (dict(num_datasets=0), "num_datasets must be at least 1 (got 0)"),
    (dict(num_x_pts=65536, num_datasets=65536),
     "num_x_pts * num_datasets must fit in a 32-bit signed integer (got 65536 * 65536)"),
    (dict(num_x_pts=10), "len(x_data) must equal num_x_pts * num_datasets = 10 (got 11)"),
    (dict(x_data=np.arange(-20.0, 25.0, 4.0), num_x_pts=12),
     "len(y_data) must equal num_x_pts * num_datasets = 12 (got 11)"),
    (dict(x_data=np.tile(X11, 2), y_data=np.ones(22), num_datasets=2),
     "len(pulse_energy) must be at least num_datasets = 2 (got 1)"),
    (dict(spec_pars=(1e-17, 4e-17, 0.0, 5e-9, 1e-8, 1e-12, 1e-5), fit_indices=(6,)),
     "len(spec_pars) must be at least 8 (got 7)"),
    (dict(populations=(3e17, 0.0, 0.0, 0.0)), "len(populations) must be at least 5 (got 4)"),
    (dict(t_slices=1), "t_slices must be at least 2 (got 1)"),
    (dict(z_slices=0), "z_slices must be at least 2 (got 0)"),
    (dict(fit_indices=(7,) * 12),
     "len(fit_indices) must not exceed the number of points 11 (got 12)"),
    (dict(wavelength=0.0), "wavelength must be non-zero"),
    (dict(M2=-0.0), "M2 must be non-zero"),
])
def test_core_preconditions_are_rejected(overrides, text):
    raises(ValueError, text, **overrides)


def test_longer_arrays_than_needed_are_accepted():
    base = fit()
    longer = fit(populations=(3e17, 0.0, 0.0, 0.0, 0.0, 7.0), pulse_energy=(1e-6, 5.0),
                 spec_pars=(*call_args()["spec_pars"], 9.0), fit_indices=(7,) * 11)
    assert np.array_equal(longer[0], base[0]) and longer[1] == base[1]
    assert np.array_equal(longer[2][:8], base[2]) and longer[2][8] == 9.0


def test_numpy_is_reached_through_the_module_attribute_np(monkeypatch):
    import builtins

    class SmallTables:
        """NumPy, except that zeros makes tables one column short."""
        def __getattr__(self, name):
            return getattr(np, name)

        def zeros(self, shape, dtype=None):
            return np.zeros((shape[0], shape[1] - 1) if isinstance(shape, tuple) else shape, dtype)

    expected = fit()
    monkeypatch.setattr(kesp_wrapper, "np", SmallTables())
    raises(IndexError, out_of_bounds(1))
    monkeypatch.delattr(kesp_wrapper, "np")
    raises(NameError, "name 'np' is not defined")
    monkeypatch.setattr(builtins, "np", np, raising=False)
    assert fit()[1] == expected[1]


def test_core_indices_out_of_range_are_refused_before_the_core_runs(monkeypatch):
    class ShiftedIndices:
        """NumPy, except that asarray moves int32 arrays by 8."""
        def __getattr__(self, name):
            return getattr(np, name)

        def asarray(self, obj):
            array = np.asarray(obj)
            return array + 8 if array.dtype == np.int32 else array

    monkeypatch.setattr(kesp_wrapper, "np", ShiftedIndices())
    for n_starts in (1, 3):
        raises(SystemError, "the fit core failed start 0 on arguments that passed every check",
               n_starts=n_starts)
